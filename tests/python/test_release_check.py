"""The check worker asks the release service for a token and a release,
compares versions with Python's own rules and ends with exactly one signal."""

import json
import socket

import pytest
from conftest import ACCOUNT

TOKEN_ROUTE = "/license/generate-jwt"
RELEASE_ROUTE = "/license/latest-release"
NOT_GIVEN = object()


@pytest.fixture
def worker_class(tvupd_module):
    return tvupd_module.KolvarenUpdater.CheckWorker


@pytest.fixture
def worker(worker_class, qtbot):
    """A worker for direct calls of its requests; they touch no widget or host."""
    return worker_class()


class TestTokenRequest:
    def test_posts_exactly_the_two_credentials_identifying_one_first(self, worker, svc):
        token = worker.generate_jwt_token(ACCOUNT["email"], ACCOUNT["license_key"])
        assert isinstance(token, str) and token.count(".") == 2
        (request,) = svc.requests
        assert (request.method, request.path, request.query) == ("POST", TOKEN_ROUTE, [])
        assert request.header("Content-Type") == "application/json"
        assert list(json.loads(request.body).items()) == [
            ("email", ACCOUNT["email"]),
            ("license_key", ACCOUNT["license_key"]),
        ]
        assert svc.base_url + TOKEN_ROUTE == worker_url(svc, request)

    @pytest.mark.parametrize(
        ("status", "reply", "expected"),
        [
            (399, {"jwt_token": "t.o.k"}, "t.o.k"),
            (200, {"jwt_token": ""}, ""),
            (200, {"jwt_token": None}, None),
            (200, {}, None),
            (400, {"jwt_token": "t.o.k"}, None),
            (401, {"detail": "Invalid credentials"}, None),
            (599, {"jwt_token": "t.o.k"}, None),
        ],
    )
    def test_results(self, worker, svc, status, reply, expected):
        svc.script(TOKEN_ROUTE, status=status, json=reply)
        assert worker.generate_jwt_token("a", "b") == expected

    @pytest.mark.parametrize(
        ("body", "error"),
        [
            (b"null", TypeError),
            (b"[]", TypeError),
            (b"5", TypeError),
            (b'"text"', TypeError),
            (b'{"jwt_token": 5}', TypeError),
            (b"<html>busy</html>", ValueError),
        ],
    )
    def test_failures(self, worker, svc, body, error):
        svc.script(TOKEN_ROUTE, status=200, body=body)
        with pytest.raises(error):
            worker.generate_jwt_token("a", "b")

    def test_an_oversized_reply_is_refused_without_reading_it_whole(self, worker, svc):
        svc.script(TOKEN_ROUTE, status=200, body_bytes=50_000_000)
        with pytest.raises(RuntimeError, match="larger than"):
            worker.generate_jwt_token("a", "b")

    def test_a_broken_connection_is_a_failure(self, worker, svc):
        svc.script(TOKEN_ROUTE, reset="before")
        with pytest.raises(ConnectionError):
            worker.generate_jwt_token("a", "b")

    @pytest.mark.parametrize(
        ("scheme", "says"), [("http", "plain HTTP at"), ("https", "another server,")]
    )
    def test_credentials_never_follow_a_redirect_elsewhere(self, worker, svc, scheme, says):
        # Another port of the same host is another server: nothing may reach it.
        with socket.create_server(("127.0.0.1", 0)) as elsewhere:
            elsewhere.setblocking(False)
            port = elsewhere.getsockname()[1]
            svc.script(TOKEN_ROUTE, status=307, redirect_to=f"{scheme}://127.0.0.1:{port}/x")
            with pytest.raises(ConnectionError) as refused:
                worker.generate_jwt_token(ACCOUNT["email"], ACCOUNT["license_key"])
            assert str(refused.value).startswith(
                f"redirect from 127.0.0.1 port {svc.port} refused: it leads to {says} "
                f"127.0.0.1 port {port}"
            )
            with pytest.raises(BlockingIOError):
                elsewhere.accept()


def worker_url(svc, request):
    return svc.base_url + request.path


class TestReleaseQuery:
    def test_sends_the_bearer_token_and_the_query_in_order(self, worker, svc):
        token = svc.issue_token(ACCOUNT["email"], "pro")
        record = worker.get_latest_release(token, "pro", ACCOUNT["email"], 0)
        assert record["kolvaren_version"] == "2.4.0"
        (request,) = svc.requests
        assert (request.method, request.path) == ("GET", RELEASE_ROUTE)
        assert request.header("Authorization") == "Bearer " + token
        assert request.query == [
            ("package_type", "pro"),
            ("email", ACCOUNT["email"]),
            ("version_offset", "0"),
        ]

    def test_the_previous_release_and_an_untrimmed_token(self, worker, svc):
        svc.script(RELEASE_ROUTE, json={"kolvaren_version": "2.3.1"})
        assert worker.get_latest_release(" t o k", "pro", "e@x", -1) == {
            "kolvaren_version": "2.3.1"
        }
        (request,) = svc.requests
        assert request.header("Authorization") == "Bearer  t o k"
        assert request.query[-1] == ("version_offset", "-1")

    @pytest.mark.parametrize(
        ("status", "body", "expected"),
        [
            (200, b"null", None),
            (200, b"{}", {}),
            (399, b'{"a": 1}', {"a": 1}),
            (400, b'{"a": 1}', None),
            (404, b'{"detail": "Release not found"}', None),
        ],
    )
    def test_results(self, worker, svc, status, body, expected):
        svc.script(RELEASE_ROUTE, status=status, body=body)
        assert worker.get_latest_release("t", "pro", "e", 0) == expected

    @pytest.mark.parametrize(("body", "error"), [(b"[]", TypeError), (b"{", ValueError)])
    def test_failures(self, worker, svc, body, error):
        svc.script(RELEASE_ROUTE, status=200, body=body)
        with pytest.raises(error):
            worker.get_latest_release("t", "pro", "e", 0)


BIG = 10**400


class TestVersionComparison:
    @pytest.mark.parametrize(
        ("latest", "current", "newer"),
        [
            ("2.3", "2.2", True),
            ("2.3", 1.0, True),
            ("2.0", "2", False),
            ("2.10", "2.9", False),
            ("1.2", "1.10", True),
            ("1.2.3", "1.2.2", True),
            ("1.10.0", "1.9.0", False),
            ("1.2.3", "1.2", True),
            ("V2", "V1", True),
            ("V2", "1.5", True),
            ("", "1.0", False),
            (" 2.5 ", "2.4", True),
            ("nan", "1", False),
            ("1", "NaN", False),
            ("inf", 1e308, True),
            ("-Infinity", "-1e308", False),
            (3, "2.9", True),
            ("1_000", "999", True),
            ("١٢", "11", True),  # Arabic-Indic digits read as 12
            (True, 0.5, True),
            (BIG, 1.0, True),  # no float for it: exact integer comparison
            (BIG, BIG + 1, False),
            ("1e400", "1e308", True),  # a text overflows to inf, unlike an int
        ],
    )
    def test_newer(self, worker, latest, current, newer):
        assert worker.compare_versions(latest, current) is newer

    @pytest.mark.parametrize(
        ("latest", "current"),
        [("", 1.0), (None, "1.0"), ("1.2.3", 1.0), (BIG, "1"), ([1], "1"), ("1.2.3", None)],
    )
    def test_values_that_cannot_be_compared_raise(self, worker, latest, current):
        with pytest.raises(TypeError, match="not supported between instances"):
            worker.compare_versions(latest, current)


class CheckRun:
    """A check worker run to its end on its thread, with every signal recorded."""

    def __init__(self, worker_class, qtbot, manuel_update=False, version_offset=None):
        self.signals = []
        worker = worker_class(manuel_update, version_offset)
        worker.update_found.connect(lambda *args: self.signals.append(("update_found", args)))
        worker.no_update.connect(lambda *args: self.signals.append(("no_update", args)))
        worker.start()
        qtbot.waitUntil(worker.isFinished, timeout=20000)
        qtbot.waitUntil(lambda: bool(self.signals), timeout=5000)
        qtbot.wait(20)
        (self.signal,) = self.signals  # exactly one per run
        self.name, self.args = self.signal


@pytest.fixture
def check(worker_class, qtbot, host, svc, account):
    return lambda *args: CheckRun(worker_class, qtbot, *args)


def codes(name, args):
    return args[2] if name == "no_update" else None


class TestCheckWorkerRun:
    def test_offers_a_newer_release(self, check, svc):
        run = check()
        assert run.name == "update_found"
        manuel_update, payload = run.args
        assert manuel_update is False
        assert list(payload) == [
            "version",
            "release_notes",
            "is_silent",
            "file_path",
            "jwt_token",
            "is_mandatory",
        ]
        assert payload["version"] == "2.4.0"
        assert payload["release_notes"] == "New cabinet."
        assert payload["file_path"] == "releases/2.4.0/kolvaren-2.4.0.ms"
        assert payload["jwt_token"] == svc.requests[1].header("Authorization")[len("Bearer ") :]
        assert [r.path for r in svc.requests] == [TOKEN_ROUTE, RELEASE_ROUTE]

    def test_a_manual_run_only_changes_the_first_argument(self, check):
        run = check(True)
        assert run.name == "update_found" and run.args[0] is True

    @pytest.mark.parametrize(
        "record",
        [None, {}],
        ids=["no record", "empty record"],
    )
    def test_no_account_record_is_001(self, check, svc, tvlib, account_file, record):
        if record is None:
            account_file.unlink()
        else:
            tvlib.save_account(record)
        run = check()
        assert run.signal == ("no_update", (False, False, "001"))
        assert svc.requests == []

    @pytest.mark.parametrize("missing", ["email", "license_key", "package_type"])
    @pytest.mark.parametrize("value", [NOT_GIVEN, None, "", 0])
    def test_a_missing_credential_or_selector_is_002(self, check, svc, account, missing, value):
        credentials = dict(ACCOUNT)
        if value is NOT_GIVEN:
            del credentials[missing]
        else:
            credentials[missing] = value
        account({"account": credentials, "kolvaren_version": "2.3.1"})
        assert check().signal == ("no_update", (False, False, "002"))
        assert svc.requests == []

    def test_a_record_without_its_account_part_is_an_error(self, check, account):
        account({"kolvaren_version": "2.3.1"})
        run = check()
        assert run.name == "no_update" and "account" in run.args[2]

    def test_a_broken_account_file_is_an_error(self, check, account_file):
        account_file.write_text("{broken")
        run = check()
        assert run.name == "no_update" and "is not valid JSON" in run.args[2]

    @pytest.mark.parametrize(
        "fault",
        [{"status": 401, "json": {"detail": "no"}}, {"json": {"jwt_token": ""}}, {"json": {}}],
    )
    def test_no_token_is_004_and_no_release_is_asked(self, check, svc, fault):
        svc.script(TOKEN_ROUTE, **fault)
        assert check().signal == ("no_update", (False, False, "004"))
        assert [r.path for r in svc.requests] == [TOKEN_ROUTE]

    def test_a_failing_token_request_is_an_error_not_004(self, check, svc):
        svc.script(TOKEN_ROUTE, reset="before")
        run = check()
        assert run.name == "no_update"
        assert run.args[2] not in {"001", "002", "004", "005", "006"} and run.args[2]

    @pytest.mark.parametrize(
        "fault", [{"json": {}}, {"body": b"null"}, {"status": 404, "json": {"detail": "x"}}]
    )
    def test_no_release_is_005(self, check, svc, fault):
        svc.script(RELEASE_ROUTE, **fault)
        assert check().signal == ("no_update", (False, False, "005"))

    @pytest.mark.parametrize(
        ("offered", "installed", "result"),
        [
            ("2.4", "2.4", "006"),
            ("2.5", "2.4", "2.5"),
            ("1.2.3", NOT_GIVEN, "error"),
            (NOT_GIVEN, "2.3.1", "error"),
        ],
    )
    def test_normal_mode_offers_only_newer(self, check, svc, account, offered, installed, result):
        record = {"account": dict(ACCOUNT)}
        if installed is not NOT_GIVEN:
            record["kolvaren_version"] = installed
        account(record)
        release = {"release_notes": "n", "file_path": "p.ms"}
        if offered is not NOT_GIVEN:
            release["kolvaren_version"] = offered
        svc.script(RELEASE_ROUTE, json=release)
        run = check()
        assert_result(run, result)

    @pytest.mark.parametrize(
        ("offered", "installed", "result"),
        [
            ("1.4", "1.5", "1.4"),
            ("1.5", "1.5", "006"),
            ("1.0", NOT_GIVEN, "006"),
            (1, NOT_GIVEN, 1),
            (NOT_GIVEN, "1.5", None),
            ("2.5", 2.5, "006"),
        ],
    )
    def test_earlier_release_mode_offers_anything_but_the_installed(
        self, check, svc, account, offered, installed, result
    ):
        record = {"account": dict(ACCOUNT)}
        if installed is not NOT_GIVEN:
            record["kolvaren_version"] = installed
        account(record)
        release = {"file_path": "p.ms"}
        if offered is not NOT_GIVEN:
            release["kolvaren_version"] = offered
        svc.script(RELEASE_ROUTE, json=release)
        run = check(False, -1)
        assert_result(run, result)
        assert svc.requests[1].query[-1] == ("version_offset", "-1")

    def test_absent_members_get_their_defaults(self, check, svc):
        svc.script(RELEASE_ROUTE, json={"kolvaren_version": "9", "release_notes": None})
        run = check()
        assert run.args[1]["release_notes"] is None
        svc.script(RELEASE_ROUTE, json={"kolvaren_version": "9"})
        payload = check().args[1]
        assert payload["release_notes"] == "Güncelleme notları bulunamadı."
        assert payload["is_silent"] is None
        assert payload["file_path"] is None
        assert payload["is_mandatory"] is None

    def test_an_integer_beyond_64_bits_reaches_the_slot_unchanged(self, check, svc, account):
        account({"account": dict(ACCOUNT), "kolvaren_version": 1})
        svc.script(RELEASE_ROUTE, json={"kolvaren_version": BIG, "is_silent": 0})
        payload = check().args[1]
        assert payload["version"] == BIG
        assert payload["is_silent"] == 0 and type(payload["is_silent"]) is int


def assert_result(run, result):
    if result == "006":
        assert run.signal == ("no_update", (False, False, "006"))
    elif result == "error":
        assert run.name == "no_update"
        assert "not supported between instances" in run.args[2]
    else:
        assert run.name == "update_found"
        assert run.args[1]["version"] == result
