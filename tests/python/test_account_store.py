"""The account store keeps the user's record in one JSON file, replaced
atomically, readable only by its owner."""

import json
import os
import stat
import threading

import pytest


def test_no_file_means_no_record(tvlib, account_file):
    assert not account_file.exists()
    assert tvlib.load_account() is None


def test_a_record_survives_a_round_trip(tvlib, account_file):
    record = {
        "account": {"email": "şükrü@örnek.invalid", "license_key": "K", "package_type": "pro"},
        "kolvaren_version": "2.3.1",
        "other": [1, 2.5, None, True, 10**40],
    }
    tvlib.save_account(record)
    assert tvlib.load_account() == record
    assert json.loads(account_file.read_text(encoding="utf-8")) == record


def test_the_file_is_private_to_its_owner(tvlib, account_file):
    tvlib.save_account({"kolvaren_version": "1"})
    assert stat.S_IMODE(account_file.stat().st_mode) == 0o600


@pytest.mark.parametrize(
    ("content", "reason"),
    [("{not json", "is not valid JSON"), ("[1, 2]", "is not a JSON object"), ("", "not valid")],
)
def test_a_broken_file_is_an_error_and_is_kept(tvlib, account_file, content, reason):
    account_file.parent.mkdir(parents=True)
    account_file.write_text(content)
    with pytest.raises(ValueError, match=reason) as error:
        tvlib.load_account()
    assert str(account_file) in str(error.value)
    assert account_file.read_text() == content


def test_only_a_dict_is_saved(tvlib, account_file):
    with pytest.raises(TypeError, match="must be a dict"):
        tvlib.save_account(["not", "a", "record"])
    assert not account_file.exists()


def test_a_save_leaves_no_temporary_files(tvlib, account_file):
    for version in range(5):
        tvlib.save_account({"kolvaren_version": version})
    assert os.listdir(account_file.parent) == [account_file.name]


def test_loads_during_saves_see_a_whole_record(tvlib, account_file):
    small = {"kolvaren_version": "1", "pad": ""}
    large = {"kolvaren_version": "2", "pad": "x" * 200_000}
    tvlib.save_account(small)
    seen, errors = set(), []
    stop = threading.Event()

    def load_repeatedly():
        while not stop.is_set():
            try:
                seen.add(tvlib.load_account()["kolvaren_version"])
            except Exception as exc:  # any broken read is the fault we look for
                errors.append(exc)

    readers = [threading.Thread(target=load_repeatedly) for _ in range(2)]
    for reader in readers:
        reader.start()
    try:
        for i in range(150):
            tvlib.save_account(large if i % 2 else small)
    finally:
        stop.set()
        for reader in readers:
            reader.join()
    assert errors == []
    assert seen <= {"1", "2"}
