"""The scratch folder of one demo: the catalogue the service serves, the host's folders, the
plug-in's settings and start-up scripts, and the user's account record.

    catalogue/      a copy of devhost/catalogue, changed as the option needs
    maxdata/        the host's user folder, with Plugin.UserSettings.ini
    kolvaren/       the plug-in: kolvaren.ini, scripts/, localizations/
    account/        account.json, the account store's file
    temp/           the host's and the process's temporary folder (download, update.ini)
    service/        service.json and ca.pem of the running service; service.log beside it
"""

from __future__ import annotations

import json
import os
import shutil
from pathlib import Path

from releaseservice import BUNDLED_CATALOGUE

from .scenarios import Scenario

START_UP_SCRIPTS = {
    "KolvarenDefine.ms": 'KolvarenDefine = "Kolvaren definitions loaded"\n',
    "KolvarenPanel.ms": "global kolvaren_panel_ready = true\n",
    "KolvarenCabinet.ms": 'KolvarenCabinet = "Kolvaren cabinet loaded"\n',
}


def prepare(scenario: Scenario, folder: Path) -> None:
    catalogue = folder / "catalogue"
    shutil.copytree(BUNDLED_CATALOGUE, catalogue, dirs_exist_ok=True)
    manifest_path = catalogue / "manifest.json"
    manifest = json.loads(manifest_path.read_text(encoding="utf-8"))
    if scenario.mandatory:
        manifest["releases"][-1]["is_mandatory"] = True
    if package_mib := os.environ.get("DEMO_PACKAGE_MIB"):
        manifest["releases"][-1]["pad_to_bytes"] = int(package_mib) * 1024 * 1024
    manifest_path.write_text(json.dumps(manifest, indent=2) + "\n", encoding="utf-8")

    for name in ("maxdata", "temp", "service"):
        (folder / name).mkdir(exist_ok=True)

    plugin = folder / "kolvaren"
    (folder / "maxdata" / "Plugin.UserSettings.ini").write_text(
        f"[Directories]\nKolvaren={plugin}\n", encoding="utf-8"
    )
    # Folder values with a leading backslash lie under Root, as on a user's machine.
    (plugin / "scripts").mkdir(parents=True, exist_ok=True)
    (plugin / "kolvaren.ini").write_text(
        "[Directories]\n"
        f"Root={plugin}\n"
        "Programs=\\scripts\n"
        "Resources=\\resources\n"
        "Localizations=\\localizations\\\n"
        "Releases=\\releases\n"
        "[Settings]\n"
        "Localization=en\n"
        "AutoUpdate=1\n",
        encoding="utf-8",
    )
    for name, text in START_UP_SCRIPTS.items():
        (plugin / "scripts" / name).write_text(text, encoding="utf-8")
    localization = plugin / "localizations" / "en"
    localization.mkdir(parents=True, exist_ok=True)
    (localization / "localization.ms").write_text(
        'global kolvaren_localization = "en"\n', encoding="utf-8"
    )

    account = folder / "account" / "account.json"
    account.parent.mkdir(exist_ok=True)
    record = {"account": manifest["accounts"][0], "kolvaren_version": scenario.installed}
    account.write_text(json.dumps(record, indent=2) + "\n", encoding="utf-8")
