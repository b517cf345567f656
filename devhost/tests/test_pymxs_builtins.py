"""Host functions on real files: INI files, paths, fileIn, Python files, prompts, versions."""

import re

import pymxs
import pytest
from pymxs import MAXScriptError, runtime
from pymxs.values import OK

BOOTSTRAP = r"""
(
	struct getdir_st (root, root2, programs, resources, localizations, releases)
	struct kolvaren_st (inifile, getdir, getset, run, access, func, cabinetdelikkopya)
	global kolvaren = kolvaren_st getdir:(getdir_st())
	local startdir = getinisetting (getdir #maxdata + "\Plugin.UserSettings.ini") "Directories" "Kolvaren"
	kolvaren.inifile = startdir + "\kolvaren.ini"
	global KolvarenDefine, KolvarenCabinet
	kolvaren.getdir.root = getinisetting kolvaren.inifile "Directories" "Root"
	fn folderrule v = (if doesfileexist v then v else kolvaren.getdir.root + v)
	kolvaren.getdir.programs = folderrule (getinisetting kolvaren.inifile "Directories" "Programs")
	local locfile = kolvaren.getdir.programs + "\localization.ms"
	if doesfileexist locfile do filein locfile
	fn yukle hedef = (
		local ini = (getinisetting (getdir #maxdata + "\Plugin.UserSettings.ini") "Directories" "Kolvaren") + "\kolvaren.ini"
		local dir = (getinisetting ini "Directories" "Root") + (getinisetting ini "Directories" "Programs")
		if doesfileexist (dir + hedef + ".ms") then filein (dir + hedef + ".ms")
		else if doesfileexist (dir + hedef + ".py") then python.executefile (dir + hedef + ".py")
		else undefined
	)
	yukle "\KolvarenDefine"
	fn run hedef = yukle hedef
	kolvaren.run = run
)
"""  # noqa: E501


@pytest.fixture
def folders(tmp_path):
    maxdata, temp = tmp_path / "maxdata", tmp_path / "temp"
    maxdata.mkdir()
    temp.mkdir()
    pymxs.host.reset(maxdata=maxdata, tempdir=temp, release_year=2026)
    yield tmp_path
    pymxs.host.reset()


@pytest.mark.parametrize(
    ("content", "section", "key", "expected"),
    [
        ("[Directories]\nRoot=C:\\K\n", "Directories", "Root", "C:\\K"),
        ("[DIRECTORIES]\n  ROOT =  spaced value  \n", "directories", "root", "spaced value"),
        ("[S]\nA=1\n[s]\nA=2\n", "S", "A", "1"),
        ("[S]\nA=first\nA=second\n", "S", "A", "first"),
        ('[S]\nA="quoted"\n', "S", "A", "quoted"),
        ("[S]\nA=a=b\n", "S", "A", "a=b"),
        ("[S]\nA=1\n", "T", "A", ""),
        ("[S]\nA=1\n", "S", "B", ""),
        ("[T]\nA=1\n[S]\n;A=commented\n", "S", "A", ""),
        ("\ufeff[S]\r\nA=ü\r\n", "S", "A", "ü"),
    ],
)
def test_getinisetting_reads_like_windows(folders, content, section, key, expected):
    ini = folders / "a.ini"
    ini.write_bytes(content.encode("utf-8"))
    assert runtime.getinisetting(str(ini), section, key) == expected


def test_getinisetting_missing_file_is_empty(folders):
    assert runtime.getinisetting(str(folders / "nope" / "a.ini"), "S", "K") == ""


def test_getinisetting_lists_sections_and_keys(folders):
    ini = folders / "a.ini"
    ini.write_text("[One]\nA=1\nb=2\n[two]\nC=3\n[ONE]\nD=4\n")
    assert list(runtime.getinisetting(str(ini))) == ["One", "two"]
    assert list(runtime.getinisetting(str(ini), "one")) == ["A", "b"]


@pytest.mark.parametrize(
    ("before", "section", "key", "value", "after"),
    [
        (None, "S", "K", "v", "[S]\r\nK=v\r\n"),
        ("[S]\nK=old\nL=keep\n", "s", "k", "new", "[S]\nK=new\nL=keep\n"),
        ("[S]\nA=1\n\n[T]\nB=2\n", "S", "C", "3", "[S]\nA=1\nC=3\n\n[T]\nB=2\n"),
        ("; note\n[T]\nB=2", "S", "K", "v", "; note\n[T]\nB=2\n[S]\nK=v\n"),
        ("[S]\r\nA=1\r\n", "S", "A", "2", "[S]\r\nA=2\r\n"),
        ("[S]\nA=1\n", "S", "B", "ü", "[S]\nA=1\nB=ü\n"),
    ],
)
def test_setinisetting_edits_one_line(folders, before, section, key, value, after):
    ini = folders / "a.ini"
    if before is not None:
        ini.write_bytes(before.encode("utf-8"))
    assert runtime.setinisetting(str(ini), section, key, value) is True
    assert ini.read_bytes() == after.encode("utf-8")


def test_setinisetting_backslash_path_under_tempdir(folders):
    command = (
        r'setinisetting (sysinfo.tempdir+"\Kolvaren\update.ini") "LastUpdate" "FilePath"'
        r' "C:\\temp\\Kolvaren\\pkg.ms"'
    )
    assert runtime.execute(command) is False
    assert not (folders / "temp" / "Kolvaren").exists()
    (folders / "temp" / "Kolvaren").mkdir()
    assert runtime.execute(command) is True
    text = (folders / "temp" / "Kolvaren" / "update.ini").read_text(encoding="utf-8")
    assert text.splitlines() == ["[LastUpdate]", r"FilePath=C:\temp\Kolvaren\pkg.ms"]


def test_folders_as_the_host_reports_them(folders):
    pymxs.host.reset(maxdata=str(folders / "maxdata") + "/")
    assert runtime.execute("getdir #maxdata") == str(folders / "maxdata")
    assert runtime.execute("sysinfo.tempdir") == str(folders / "temp") + "\\"
    (folders / "maxdata" / "sub").mkdir()
    (folders / "maxdata" / "sub" / "f.txt").write_text("x")
    checks = {
        r'getdir #maxdata + "\sub\f.txt"': True,
        r'getdir #maxdata + "\sub"': True,
        r'getdir #maxdata + "\sub\g.txt"': False,
        '""': False,
    }
    for path, exists in checks.items():
        assert runtime.execute(f"doesfileexist ({path})") is exists, path


def test_filein_runs_in_global_scope(folders):
    script = folders / "lib.ms"
    script.write_text("(local hidden = 1; global shown = 2)\nlate = 3\nshown + late\n")
    path = str(folders) + "\\lib.ms"
    assert runtime.execute(f'(local hidden = 9; filein @"{path}")') == 5
    assert dict(pymxs.host.globals) == {"shown": 2, "late": 3}
    assert pymxs.host.filein_log == [path]
    with pytest.raises(MAXScriptError, match="FileIn: can't open file"):
        runtime.filein(str(folders / "missing.ms"))


def test_python_executefile(folders):
    script = folders / "job.py"
    script.write_text("import pymxs\npymxs.runtime.ran_as = __name__\n")
    assert runtime.python.executefile(str(script)) is True
    assert runtime.ran_as == "__main__"
    assert pymxs.host.python_files == [str(script)]
    script.write_text("raise ValueError('broken job')\n")
    with pytest.raises(MAXScriptError, match="ValueError: broken job") as caught:
        runtime.python.executefile(str(script))
    assert isinstance(caught.value.__cause__, ValueError)


def test_prompts_and_execute_are_recorded(folders):
    assert runtime.execute('DisplayTempPrompt "Kolvaren - Checking Update..." 5000') is OK
    assert runtime.execute('pushprompt "Kolvaren - New Version Downloading %42"') is True
    runtime.pushprompt("second")
    runtime.popprompt()
    runtime.execute('execute "1"')
    host = pymxs.host
    assert host.temp_prompts == [("Kolvaren - Checking Update...", 5000)]
    assert host.prompts == ["Kolvaren - New Version Downloading %42"]
    assert host.evaluated[-2:] == ['execute "1"', "1"]


def test_format_writes_to_the_listener(folders, capsys):
    assert runtime.execute('format "% is % (%)\\n" "Kolvaren" 2.4 #(1, "a")') is OK
    assert capsys.readouterr().out == 'Kolvaren is 2.4 (#(1, "a"))\n'
    with pytest.raises(MAXScriptError, match="more %"):
        runtime.execute('format "%%" 1')


@pytest.mark.parametrize("year", [2024, 2026])
def test_maxversion_carries_the_release_year(folders, year):
    pymxs.host.reset(release_year=year)
    assert runtime.maxversion()[7] == year
    assert runtime.execute("(maxversion())[8]") == year


def test_bootstrap(folders):
    settings = folders / "settings"
    programs = folders / "root" / "programs"
    programs.mkdir(parents=True)
    settings.mkdir()
    (folders / "maxdata" / "Plugin.UserSettings.ini").write_text(
        f"[Directories]\nKolvaren={settings}\n"
    )
    (settings / "kolvaren.ini").write_text(
        f"[Directories]\nRoot={folders / 'root'}\nPrograms=\\programs\n[Settings]\nAutoUpdate=1\n"
    )
    (programs / "localization.ms").write_text('global kolvaren_lang = "tr"\n')
    (programs / "KolvarenDefine.ms").write_text(
        'KolvarenDefine = "defined"\nkolvaren.func = kolvaren.getdir.programs\n'
    )
    (programs / "KolvarenCabinet.py").write_text(
        "import pymxs\npymxs.runtime.KolvarenCabinet = 'cabinet ' + __name__\n"
    )

    runtime.execute(BOOTSTRAP)

    kolvaren = runtime.kolvaren
    assert kolvaren.inifile == f"{settings}\\kolvaren.ini"
    assert kolvaren.getdir.root == str(folders / "root")
    assert kolvaren.GetDir.Programs == f"{folders / 'root'}\\programs"
    assert runtime.kolvaren_lang == "tr"
    assert runtime.KolvarenDefine == "defined"
    assert kolvaren.func == kolvaren.getdir.programs
    assert runtime.KolvarenCabinet is None
    # The bootstrap's locals, structs and functions stay inside its block.
    assert set(pymxs.host.globals) == {
        "kolvaren",
        "kolvarendefine",
        "kolvarencabinet",
        "kolvaren_lang",
    }

    assert runtime.execute(r'kolvaren.run "\KolvarenCabinet"') is True
    assert runtime.KolvarenCabinet == "cabinet __main__"
    assert kolvaren.run("\\Missing") is None
    assert [re.sub(r".*[\\/]", "", p) for p in pymxs.host.filein_log] == [
        "localization.ms",
        "KolvarenDefine.ms",
    ]

    assert runtime.execute('getinisetting kolvaren.inifile "Settings" "AutoUpdate"') == "1"
    assert runtime.execute('setinisetting kolvaren.inifile "Settings" "AutoUpdate" "0"') is True
    assert runtime.execute('getinisetting kolvaren.inifile "Settings" "AutoUpdate"') == "0"

    runtime.execute(
        'global kolvaren_updatenotify = "Kolvaren - New Version 2.4.0 is now available."'
    )
    assert runtime.kolvaren_updatenotify.startswith("Kolvaren - New Version 2.4.0")
    runtime.execute("kolvaren_updatenotify = undefined")
    assert pymxs.host.globals["kolvaren_updatenotify"] is None
