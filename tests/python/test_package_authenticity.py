"""Digest and signature checks of the downloaded package.

Every build checks an RFC 9530 sha-256 digest when the reply carries one; only
a build made with KOLVAREN_PACKAGE_KEYS asks for a signature. The modules under
test are built without keys, so the signed behaviour is tested on a second
build with two test keys, made here when TVLIB_KEYED_BUILD=1 (a few minutes the
first time, incremental afterwards); without it those tests are skipped.
"""

import base64
import hashlib
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import ACCOUNT, DEVHOST, QT6, REPO, run_in_host
from cryptography.hazmat.primitives.asymmetric.ed25519 import (
    Ed25519PrivateKey,
    Ed25519PublicKey,
)
from kolvaren_sign import DIGEST_HEADER, SIGNATURE_HEADER, package_headers, public_key_text
from test_download import DOWNLOAD_ROUTE, FINISHED, PACKAGE_PATH, Download

# Test keys only: fixed seeds so that a keyed build stays valid between runs.
OLD_KEY = Ed25519PrivateKey.from_private_bytes(bytes([1] * 32))
NEW_KEY = Ed25519PrivateKey.from_private_bytes(bytes([2] * 32))
STRANGER = Ed25519PrivateKey.from_private_bytes(bytes([3] * 32))
TRUSTED = (OLD_KEY, NEW_KEY)  # a rotation under way: both are trusted

PACKAGE = "kolvaren-2.4.0.ms"
RELEASE_ROUTE = "/license/latest-release"


def header(headers, name):
    return next(value for n, value in headers if n == name)


def signature_of(key, package: bytes, version="2.4.0", name=PACKAGE) -> str:
    """Both forms, the release-bound one made for `version` and `name`."""
    return header(package_headers(key, package, version=version, name=name), SIGNATURE_HEADER)


def hash_only_signature_of(key, package: bytes) -> str:
    return header(package_headers(key, package), SIGNATURE_HEADER)


def digest_of(package: bytes) -> str:
    return header(package_headers(OLD_KEY, package), DIGEST_HEADER)


def one_byte_changed(package: bytes) -> bytes:
    return package[:10] + bytes([package[10] ^ 0x20]) + package[11:]


@pytest.fixture
def download(tvupd_module, qtbot, host, svc):
    worker_class = tvupd_module.KolvarenUpdater.DownloadWorker
    token = svc.issue_token(ACCOUNT["email"], "pro")
    return lambda: Download(worker_class, qtbot, PACKAGE_PATH, token)


@pytest.fixture
def package(catalogue) -> bytes:
    return (catalogue / PACKAGE).read_bytes()


@pytest.fixture
def target(host) -> Path:
    return Path(host.tempdir) / "Kolvaren" / PACKAGE


def completed(run, target: Path, body: bytes) -> bool:
    return run.named("status_update")[-1] == FINISHED and target.read_bytes() == body


def refused(run, target: Path) -> bool:
    return (
        not run.named("download_complete")
        and FINISHED not in run.named("status_update")
        and not target.exists()
    )


class TestWithoutKeys:
    """The modules under test carry no key: signatures mean nothing to them."""

    @pytest.mark.parametrize(
        "value",
        [None, "stranger", "for other bytes", "garbage ((", "ed25519=:c2hvcnQ=:"],
    )
    def test_any_signature_header_or_none_is_ignored(self, download, svc, package, target, value):
        if value == "stranger":
            value = signature_of(STRANGER, package)
        elif value == "for other bytes":
            value = signature_of(OLD_KEY, one_byte_changed(package))
        svc.script(DOWNLOAD_ROUTE, headers=[(SIGNATURE_HEADER, value)])
        assert completed(download(), target, package)


# The digest as a scripted header, or as the service stand-in sends it.
DIGESTS = ["Content-Digest", "Repr-Digest", "stand-in"]


@pytest.fixture
def announce(svc, package):
    def set_up(how, body=None):
        headers = [(how, "sha-512=:AAAA:, " + digest_of(package))]
        if how == "stand-in":
            svc.content_digest = True
            headers = []
        svc.script(DOWNLOAD_ROUTE, headers=headers, body=body)

    yield set_up
    svc.content_digest = False


class TestDigest:
    """Checked in every build, with or without keys."""

    @pytest.mark.parametrize("how", DIGESTS)
    def test_a_matching_digest_passes(self, download, announce, package, target, how):
        announce(how)
        assert completed(download(), target, package)

    @pytest.mark.parametrize("how", DIGESTS)
    def test_one_changed_byte_is_refused_and_the_file_removed(
        self, download, announce, package, target, how
    ):
        target.parent.mkdir()
        target.write_bytes(b"-- an earlier download")
        announce(how, body=one_byte_changed(package))
        run = download()
        name = "Content-Digest" if how == "stand-in" else how
        assert run.error.startswith(f"Download Error: {name} mismatch: the package received ")
        assert digest_of(package).removeprefix("sha-256=") in run.error
        assert refused(run, target)
        assert run.progress[-1] == 100  # checked after the last byte, before completion

    @pytest.mark.parametrize(
        ("value", "says"),
        [
            ("sha-256=abc", "its sha-256 value is not a byte sequence"),
            ("sha-256=:c2hvcnQ=:", "its sha-256 value has 5 bytes, not 32"),
            ("sha-256=:abc", "expected base64 and a closing ':' at character 13"),
        ],
    )
    def test_a_malformed_sha256_is_refused(self, download, svc, target, value, says):
        svc.script(DOWNLOAD_ROUTE, headers=[("Content-Digest", value)])
        run = download()
        assert run.error == f"Download Error: malformed Content-Digest header: {says}"
        assert refused(run, target)


# -- a build that trusts keys ---------------------------------------------------------


@pytest.fixture(scope="module")
def keyed_stage() -> Path:
    """A package folder whose modules trust OLD_KEY and NEW_KEY."""
    if os.environ.get("TVLIB_KEYED_BUILD") != "1":
        pytest.skip("set TVLIB_KEYED_BUILD=1 to build and test modules with package keys")
    build = REPO / "build" / ("keyed-qt6" if QT6 else "keyed-qt5")
    python = sys.executable
    cmake_dir = subprocess.run(
        [python, "-m", "pybind11", "--cmakedir"], capture_output=True, text=True, check=True
    ).stdout.strip()
    keys = ";".join(public_key_text(key) for key in TRUSTED)
    configure = [python, "-m", "cmake", "-S", str(REPO), "-B", str(build), "-G", "Ninja"]
    configure += [
        f"-DCMAKE_MAKE_PROGRAM={Path(python).parent / 'ninja'}",
        f"-DPython_EXECUTABLE={python}",
        f"-Dpybind11_DIR={cmake_dir}",
        "-DCMAKE_BUILD_TYPE=Release",  # as the installed build: shares its compiler cache
        f"-DKOLVAREN_PACKAGE_KEYS={keys}",
    ]
    build_step = [python, "-m", "cmake", "--build", str(build), "--target", "tvupd", "tvcore"]
    steps = [configure, build_step]
    for step in steps:
        result = subprocess.run(step, capture_output=True, text=True)
        assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    stage = build / "stage" / "tvlib"
    stage.mkdir(parents=True, exist_ok=True)
    sources = [REPO / "src" / "tvlib" / "__init__.py"]
    sources += sorted((build / "src" / "tvlib").glob("tv*.so"))
    for source in sources:
        link = stage / source.name
        link.unlink(missing_ok=True)
        link.symlink_to(source)
    return stage.parent


@pytest.fixture(scope="module")
def signed_service(catalogue):
    from releaseservice import ReleaseService

    with ReleaseService(catalogue=catalogue, signing_key=OLD_KEY) as svc:
        yield svc


# Runs the downloads the parent has lined up, then two whole update runs, in a
# host process with the keyed modules; prints what each one ended with.
KEYED_HOST = """
import json, os, sys, time
import pymxs, tvlib
from PySide{qt}.QtWidgets import QApplication

app = QApplication([])
upd = sys.modules["tvlib.tvupd"]
target = os.path.join(pymxs.host.tempdir, "Kolvaren", {package!r})

def settle(done):
    deadline = time.monotonic() + 30
    while not done() and time.monotonic() < deadline:
        app.processEvents()
        time.sleep(0.005)
    app.processEvents()

results = {{}}
for case in {cases!r}:
    signals = []
    worker = upd.KolvarenUpdater.DownloadWorker({path!r}, {token!r}, "2.4.0")
    for name in ("status_update", "download_complete", "error_occurred"):
        getattr(worker, name).connect(lambda *a, n=name: signals.append([n, *a]))
    worker.start()
    settle(lambda: signals and signals[-1][0] in ("download_complete", "error_occurred"))
    worker.wait()
    stored = open(target, "rb").read().decode("latin-1") if os.path.exists(target) else None
    results[case] = {{"signals": signals, "stored": stored}}
    if os.path.exists(target):
        os.remove(target)

for run in ("signed run", "tampered run", "relabelled run"):
    tvlib.save_account({{"account": {account!r}, "kolvaren_version": "2.3.1"}})
    pymxs.host.reset()
    tvlib.tvupd(True)
    settle(lambda: not upd._running_workers())
    time.sleep(0.1)
    app.processEvents()
    results[run] = {{
        "installed": pymxs.runtime.kolvaren_installed_version,
        "filein": list(pymxs.host.filein_log),
    }}
    print("--", run, flush=True)
print(json.dumps(results))
"""

# What each download faces, in the order the host process meets them.
KEYED_CASES = {
    "signed with the older key": {},
    "signed with the newer key": {"sign_with": NEW_KEY},
    "unsigned": {"headers": [(SIGNATURE_HEADER, None)]},
    "malformed": {"headers": [(SIGNATURE_HEADER, "ed25519-release=:c2hvcnQ=:")]},
    "signed with another algorithm": {"headers": [(SIGNATURE_HEADER, "ed448=:c2hvcnQ=:")]},
    "signed by hash only": {"hash_only": OLD_KEY},
    "signed as another version": {"sign_with": OLD_KEY, "version": "2.3.1"},
    "signed under another name": {"sign_with": NEW_KEY, "name": "kolvaren-2.3.1.ms"},
    "signed with another key": {"sign_with": STRANGER},
    "one byte changed": {"tamper": True},
}


@pytest.fixture(scope="module")
def keyed_results(keyed_stage, signed_service, catalogue, tmp_path_factory):
    svc = signed_service
    package = (catalogue / PACKAGE).read_bytes()
    for case in KEYED_CASES.values():
        headers = list(case.get("headers", []))
        if "sign_with" in case:
            signed_as = {k: case[k] for k in ("version", "name") if k in case}
            headers.append(
                (SIGNATURE_HEADER, signature_of(case["sign_with"], package, **signed_as))
            )
        if "hash_only" in case:
            headers.append((SIGNATURE_HEADER, hash_only_signature_of(case["hash_only"], package)))
        body = one_byte_changed(package) if case.get("tamper") else None
        svc.script(DOWNLOAD_ROUTE, headers=headers, body=body)
    svc.script(DOWNLOAD_ROUTE)  # the signed run: the service's own answer
    svc.script(DOWNLOAD_ROUTE, body=one_byte_changed(package))  # the tampered run
    # The relabelled run: the 2.4.0 package, genuinely signed as 2.4.0, offered
    # as version 99, which would outrank every real release once recorded.
    record = {**svc.catalogue.release("pro", 0), "kolvaren_version": "99"}
    svc.script(RELEASE_ROUTE, times=2)  # the two runs above: the real record
    svc.script(RELEASE_ROUTE, json=record)
    token = svc.issue_token(ACCOUNT["email"], "pro")
    folder = tmp_path_factory.mktemp("keyed-host")
    for name in ("maxdata", "temp"):
        (folder / name).mkdir()
    code = KEYED_HOST.format(
        qt="6" if QT6 else "2",
        package=PACKAGE,
        cases=list(KEYED_CASES),
        path=PACKAGE_PATH,
        token=token,
        account=ACCOUNT,
    )
    env = {
        "PYTHONPATH": os.pathsep.join([str(keyed_stage), str(DEVHOST)]),
        "KOLVAREN_BASE_URL": svc.base_url,
        "KOLVAREN_CA_BUNDLE": str(svc.ca_pem_path),
        "KOLVAREN_ACCOUNT_FILE": str(folder / "account.json"),
        "PYMXS_MAXDATA": str(folder / "maxdata"),
        "PYMXS_TEMPDIR": str(folder / "temp"),
        "TMPDIR": str(folder / "temp"),
    }
    result = run_in_host(code, env=env, timeout=180)
    assert result.returncode == 0, result.stderr
    *lines, report = result.stdout.strip().splitlines()
    return {"token": token, "package": package, "console": lines, **json.loads(report)}


class TestWithKeys:
    @pytest.mark.parametrize("case", ["signed with the older key", "signed with the newer key"])
    def test_a_package_signed_with_a_trusted_key_is_stored(self, keyed_results, case):
        outcome = keyed_results[case]
        assert [name for name, *_ in outcome["signals"][-2:]] == [
            "status_update",
            "download_complete",
        ]
        assert outcome["signals"][-2][1] == FINISHED
        assert outcome["stored"] == keyed_results["package"].decode("latin-1")

    @pytest.mark.parametrize(
        ("case", "says"),
        [
            ("unsigned", "missing package signature: the reply has no Kolvaren-Package-Signature"),
            ("malformed", "malformed package signature: "),
            (
                "signed with another algorithm",
                "missing package signature: the Kolvaren-Package-Signature header has no "
                "ed25519-release member",
            ),
            (
                "signed by hash only",
                "package signature binds no version: the Kolvaren-Package-Signature header "
                "has only the hash-only ed25519 member",
            ),
            (
                "signed as another version",
                "package signature is for another release: the package is signed by a "
                "trusted key, but not as version '2.4.0' in a file named 'kolvaren-2.4.0.ms'",
            ),
            (
                "signed under another name",
                "package signature is for another release: ",
            ),
            ("signed with another key", "package signature does not match any trusted key"),
            ("one byte changed", "package signature does not match any trusted key"),
        ],
    )
    def test_a_package_without_a_trusted_signature_is_refused(self, keyed_results, case, says):
        outcome = keyed_results[case]
        (error,) = [args[0] for name, *args in outcome["signals"] if name == "error_occurred"]
        assert error.startswith("Download Error: " + says)
        assert keyed_results["token"] not in error
        assert ["status_update", FINISHED] not in outcome["signals"]
        assert outcome["stored"] is None

    def test_a_whole_run_installs_a_signed_package_and_not_a_tampered_one(self, keyed_results):
        assert keyed_results["signed run"]["installed"] == "2.4.0"
        assert len(keyed_results["signed run"]["filein"]) == 1
        assert keyed_results["tampered run"] == {"installed": None, "filein": []}
        assert keyed_results["relabelled run"] == {"installed": None, "filein": []}
        assert any(
            line.startswith("Download Error: package signature is for another release: ")
            and "not as version '99'" in line
            for line in keyed_results["console"]
        )
        assert any(
            line.startswith("Download Error: package signature does not match")
            for line in keyed_results["console"]
        )


def test_the_signing_command_makes_a_key_and_signs_a_package(tmp_path, package):
    """Checked with the public key and the documented message alone."""
    tool = [sys.executable, str(REPO / "tools" / "kolvaren-sign")]
    key = tmp_path / "release.pem"
    made = subprocess.run([*tool, "keygen", str(key)], capture_output=True, text=True)
    assert made.returncode == 0, made.stderr
    assert key.stat().st_mode & 0o077 == 0
    shown = subprocess.run([*tool, "public-key", str(key)], capture_output=True, text=True)
    assert shown.stdout == made.stdout
    (tmp_path / PACKAGE).write_bytes(package)
    signed = subprocess.run(
        [*tool, "sign", str(key), str(tmp_path / PACKAGE), "--version", "2.4.0"],
        capture_output=True,
        text=True,
    )
    lines = dict(line.split(": ", 1) for line in signed.stdout.splitlines())
    assert lines[DIGEST_HEADER] == digest_of(package)
    hash_only, bound = lines[SIGNATURE_HEADER].split(", ")
    assert hash_only.startswith("ed25519=:") and hash_only.endswith(":")
    assert bound.startswith("ed25519-release=:") and bound.endswith(":")
    public = Ed25519PublicKey.from_public_bytes(base64.b64decode(made.stdout))
    digest = hashlib.sha256(package).digest()
    public.verify(
        base64.b64decode(hash_only[len("ed25519=:") : -1]), b"kolvaren-package-v1:" + digest
    )
    message = b"kolvaren-release-v1:\0\0\0\x052.4.0\0\0\0\x11kolvaren-2.4.0.ms" + digest
    public.verify(base64.b64decode(bound[len("ed25519-release=:") : -1]), message)
    unbound = subprocess.run(
        [*tool, "sign", str(key), str(tmp_path / PACKAGE)], capture_output=True, text=True
    )
    assert ", ed25519-release=" not in unbound.stdout
    assert "builds with package keys refuse it" in unbound.stderr
    again = subprocess.run([*tool, "keygen", str(key)], capture_output=True, text=True)
    assert again.returncode == 1 and "exists" in again.stderr
