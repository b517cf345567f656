"""Update runs through a real proxy (squid on 127.0.0.1, see real_proxy.py),
as users behind an office proxy make them: tunnels, Basic sign-in with the
credentials in https_proxy, a proxy that refuses the tunnel, no_proxy, and a
proxy that inspects HTTPS with a CA of its own. The support report must name
the proxy the requests really take, and squid's access log shows which that is.
"""

import json
import os
import shutil
from pathlib import Path

import pytest
import real_proxy
from conftest import ACCOUNT, QT6, run_in_host
from real_proxy import PASSWORD, USER, Squid
from test_diagnostics import report

PROXY_VARIABLES = ("https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY")


@pytest.fixture(scope="module")
def squid(service, tmp_path_factory):
    missing = real_proxy.squid_missing()
    if missing:
        if os.environ.get(real_proxy.SKIP_VARIABLE) == "1" and os.environ.get("CI") != "true":
            pytest.skip(f"{missing}; {real_proxy.SKIP_VARIABLE}=1 allows that here")
        pytest.fail(
            f"{missing}: the proxy tests need Debian's squid-openssl (scripts/setup.sh "
            f"installs it with the test tools); set {real_proxy.SKIP_VARIABLE}=1 to skip "
            "them on a machine without it",
            pytrace=False,
        )
    folder = real_proxy.squid_folder(tmp_path_factory)
    with Squid(folder, service.ca_pem_path) as proxy:
        yield proxy
    if not folder.is_relative_to(tmp_path_factory.getbasetemp()):
        shutil.rmtree(folder, ignore_errors=True)


@pytest.fixture
def proxy_env(monkeypatch):
    """No proxy variable but those the test sets."""
    for name in PROXY_VARIABLES:
        monkeypatch.delenv(name, raising=False)

    def set_variables(**values):
        for name, value in values.items():
            monkeypatch.setenv(name, value)

    return set_variables


def tunnels_to(entries, port: int):
    return [e for e in entries if e.method == "CONNECT" and e.address == f"127.0.0.1:{port}"]


def installed(runs, host):
    updater = runs.start(True)
    runs.wait_closed(updater)
    return host.globals["kolvaren_installed_version"] == "2.4.0" and len(host.filein_log) == 1


@pytest.mark.every_lane
def test_a_whole_run_tunnels_through_the_proxy(runs, svc, host, squid, proxy_env, tvlib, capsys):
    proxy_env(https_proxy=squid.url("open"), no_proxy="example.org")
    mark = squid.mark()
    assert installed(runs, host), capsys.readouterr().out
    paths = [r.path for r in svc.requests]
    assert paths[:3] == ["/health", "/license/generate-jwt", "/license/latest-release"]
    assert len(paths) == 4 and paths[3].startswith("/license/download")
    # One tunnel per request (connections are not reused): the download on
    # the worker thread went through the proxy as well as the checks.
    logged = squid.entries_after(mark, at_least=4)
    assert [(e.port, e.status, e.method, e.address) for e in logged] == [
        ("open", 200, "CONNECT", f"127.0.0.1:{svc.port}")
    ] * 4, squid.diagnosis()

    fields = report(tvlib, capsys)
    assert fields["Proxy"] == f"{squid.url('open')} (from https_proxy)"
    assert fields["Health check"] == "OK, status 200"
    assert len(tunnels_to(squid.entries_after(mark + len(logged)), svc.port)) == 1


class TestSignIn:
    def test_credentials_in_the_proxy_setting_sign_in(
        self, runs, svc, host, squid, proxy_env, tvlib, capsys
    ):
        proxy_env(HTTPS_PROXY=squid.url("signin", USER, PASSWORD))
        mark = squid.mark()
        assert installed(runs, host), capsys.readouterr().out
        logged = tunnels_to(squid.entries_after(mark, at_least=4), svc.port)
        # libcurl offers Basic credentials with the first CONNECT; a proxy
        # that challenges first (407) must still end in a signed-in tunnel.
        signed_in = [e for e in logged if e.status == 200]
        assert len(signed_in) == 4 and all(e.user == USER for e in signed_in), logged
        assert {e.status for e in logged} <= {200, 407}
        assert logged[-1].status == 200

        fields = report(tvlib, capsys)
        assert fields["Proxy"] == f"{squid.url('signin')} (from HTTPS_PROXY)"
        assert fields["Health check"] == "OK, status 200"
        assert PASSWORD not in fields[""] and USER not in fields[""]
        reported = squid.entries_after(mark + len(logged))
        assert [(e.status, e.user) for e in tunnels_to(reported, svc.port)] == [(200, USER)]

    @pytest.mark.parametrize(
        "credentials", [None, (USER, "wrong-Pass"), ("nobody-here", PASSWORD)], ids=str
    )
    def test_a_refused_sign_in_says_what_to_mend(
        self, tvupd_module, svc, squid, proxy_env, tvlib, capsys, credentials
    ):
        user, password = credentials or (None, None)
        proxy_env(https_proxy=squid.url("signin", user, password))
        mark = squid.mark()
        fields = report(tvlib, capsys)
        assert fields["Proxy"] == f"{squid.url('signin')} (from https_proxy)"
        tunnel = (
            "(407 Proxy Authentication Required) "
            f"before it opens a tunnel to 127.0.0.1 port {svc.port}"
        )
        said = (
            f"the proxy asks for authentication {tunnel}; add the proxy user name and "
            "password to the proxy setting (https_proxy)"
            if credentials is None
            else f"the proxy refused the sign-in given in https_proxy {tunnel}; "
            "check the proxy user name and password there"
        )
        assert fields["Health check"].startswith(f"failed: {said}")
        worker = tvupd_module.KolvarenUpdater.CheckWorker()
        with pytest.raises(ConnectionError) as raised:
            worker.generate_jwt_token(ACCOUNT["email"], ACCOUNT["license_key"])
        assert str(raised.value).startswith(said)
        for text in (fields[""], str(raised.value)):
            assert "wrong-Pass" not in text and PASSWORD not in text
        logged = tunnels_to(squid.entries_after(mark, at_least=2), svc.port)
        assert [e.status for e in logged] == [407, 407], logged
        assert {e.user for e in logged} == {user or "-"}
        assert svc.requests == []


def test_a_proxy_that_refuses_the_tunnel(runs, svc, host, squid, proxy_env, tvlib, capsys):
    proxy_env(all_proxy=squid.url("refusing"))
    mark = squid.mark()
    updater = runs.start(True)
    assert capsys.readouterr().out == "Kolvaren Update Error: Health ConnectionError\n"
    runs.wait_closed(updater)
    assert host.filein_log == []

    fields = report(tvlib, capsys)
    assert fields["Proxy"] == f"{squid.url('refusing')} (from all_proxy)"
    said = f"the proxy refused the tunnel to 127.0.0.1 port {svc.port} (it answered 403)"
    assert fields["Health check"] == f"failed: {said}"
    logged = squid.entries_after(mark, at_least=2)
    assert [(e.port, e.status) for e in tunnels_to(logged, svc.port)] == [("refusing", 403)] * 2
    assert svc.requests == []


class TestNoProxy:
    @pytest.mark.parametrize(
        ("variables", "source"),
        [
            pytest.param({"no_proxy": "127.0.0.1"}, "no_proxy", marks=pytest.mark.every_lane),
            ({"no_proxy": "example.org, localhost,127.0.0.1"}, "no_proxy"),
            ({"NO_PROXY": "127.0.0.1"}, "NO_PROXY"),
            ({"no_proxy": "*"}, "no_proxy"),
            # libcurl reads address ranges; so must whoever names the route.
            ({"no_proxy": "127.0.0.0/8"}, "no_proxy"),
        ],
        ids=lambda v: v if isinstance(v, str) else ",".join(f"{k}={x}" for k, x in v.items()),
    )
    def test_a_host_named_in_no_proxy_goes_direct(
        self, runs, svc, host, squid, proxy_env, tvlib, capsys, variables, source
    ):
        proxy_env(https_proxy=squid.url("open"), **variables)
        mark = squid.mark()
        assert installed(runs, host), capsys.readouterr().out
        fields = report(tvlib, capsys)
        assert fields["Health check"] == "OK, status 200"
        assert squid.entries_after(mark, budget=1.5) == []
        assert fields["Proxy"] == f"none, direct ({source} names the host)"

    def test_no_proxy_set_hides_NO_PROXY(self, runs, svc, host, squid, proxy_env, tvlib, capsys):
        # As libcurl reads them: the lower-case list, when set, is the only one.
        proxy_env(https_proxy=squid.url("open"), no_proxy="example.org", NO_PROXY="127.0.0.1")
        mark = squid.mark()
        assert installed(runs, host), capsys.readouterr().out
        fields = report(tvlib, capsys)
        assert fields["Health check"] == "OK, status 200"
        # The run's four requests and the report's health check.
        logged = tunnels_to(squid.entries_after(mark, at_least=5), svc.port)
        assert len(logged) == 5, squid.diagnosis()
        assert fields["Proxy"] == f"{squid.url('open')} (from https_proxy)"


# -- a proxy that inspects HTTPS ------------------------------------------------------

# Squid checks the name in the service's certificate itself and matches
# names only, not addresses: the child reaches the service as "localhost".
# The base address is read once per process, hence a fresh host process.
INSPECTED_RUN = """
import json, os, sys, time, importlib
import tvlib, pymxs
from PySide{qt}.QtWidgets import QApplication

app = QApplication([])
upd = importlib.import_module("tvlib.tvupd")
tvlib.save_account({{"account": {account!r}, "kolvaren_version": "2.3.1"}})
steps = {{}}

def reported():
    import contextlib, io
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        tvlib.support_report()
    return dict(line.strip().split(": ", 1) for line in out.getvalue().splitlines()[1:])

def token_request():
    try:
        upd.KolvarenUpdater.CheckWorker().generate_jwt_token({email!r}, {key!r})
        return None
    except Exception as e:
        return type(e).__name__ + ": " + str(e)

def step(name, bundle):
    os.environ["KOLVAREN_CA_BUNDLE"] = bundle
    fields = reported()
    steps[name] = {{"proxy": fields["Proxy"].strip(), "health": fields["Health check"].strip(),
                    "token": token_request()}}

step("before", {before!r})
step("after", {after!r})
upd.tvupd(True)
deadline = time.monotonic() + 30
while time.monotonic() < deadline and not pymxs.host.filein_log:
    app.processEvents()
    time.sleep(0.005)
while time.monotonic() < deadline and upd._running_workers():
    app.processEvents()
    time.sleep(0.005)
steps["installed"] = pymxs.runtime.kolvaren_installed_version
step("withdrawn", {before!r})
print(json.dumps(steps))
"""


def test_a_proxy_that_inspects_https_is_trusted_only_while_its_ca_is_named(svc, squid, tmp_path):
    # The office's bundle: the inspecting proxy's CA beside the service's own.
    bundle = tmp_path / "office-bundle.pem"
    bundle.write_bytes(Path(svc.ca_pem_path).read_bytes() + squid.inspection_ca_pem)
    bundle.chmod(0o600)
    maxdata, temp = tmp_path / "maxdata", tmp_path / "temp"
    maxdata.mkdir()
    temp.mkdir()
    code = INSPECTED_RUN.format(
        qt="6" if QT6 else "2",
        account=ACCOUNT,
        email=ACCOUNT["email"],
        key=ACCOUNT["license_key"],
        before=svc.ca_pem_path,
        after=str(bundle),
    )
    mark = squid.mark()
    env = {name: "" for name in PROXY_VARIABLES}
    env.update(
        https_proxy=squid.url("inspecting"),
        KOLVAREN_BASE_URL=f"https://localhost:{svc.port}",
        KOLVAREN_ACCOUNT_FILE=str(tmp_path / "account" / "account.json"),
        PYMXS_MAXDATA=str(maxdata),
        PYMXS_TEMPDIR=str(temp),
        TMPDIR=str(temp),
    )
    result = run_in_host(code, env=env)
    assert result.returncode == 0, result.stderr
    steps = json.loads(result.stdout.strip().splitlines()[-1])

    proxy_line = f"{squid.url('inspecting')} (from https_proxy)"
    untrusted = f"TLS certificate of localhost port {svc.port} is not trusted"
    advice = (
        "if a proxy or security software inspects HTTPS here, name its CA certificate file "
        "(PEM) in the environment variable KOLVAREN_CA_BUNDLE"
    )
    # Without its CA, and again once it is taken out of the bundle (a TLS
    # session from the trusting moment must not carry over).
    for refused in (steps["before"], steps["withdrawn"]):
        assert refused["proxy"] == proxy_line
        assert refused["health"].startswith(f"failed: {untrusted}")
        assert advice in refused["health"]
        assert refused["token"].startswith(f"ConnectionError: {untrusted}")

    after = steps["after"]
    assert after["proxy"] == proxy_line
    assert after["health"] == "OK, status 200"
    assert after["token"] is None
    assert steps["installed"] == "2.4.0"

    # Squid saw the requests inside the tunnels: it really inspected them.
    inside = [(e.method, e.address) for e in squid.entries_after(mark) if e.method != "CONNECT"]
    origin = f"https://localhost:{svc.port}"
    assert ("POST", f"{origin}/license/generate-jwt") in inside, inside
    assert any(a.startswith(f"{origin}/license/download") for _, a in inside), inside
