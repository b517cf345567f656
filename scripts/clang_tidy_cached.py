"""Runs clang-tidy on files of a build's compile database, two at a time, and
skips a file that clang-tidy passed before with the same inputs: the same
clang-tidy, the same checks, the same compile flags and the same preprocessed
text (the file with every header it reaches). A file that fails is checked
again next time.

Usage: clang_tidy_cached.py BUILD_DIR CACHE_DIR FILE...
Exit status 1 when clang-tidy found anything in one of the files.
"""

from __future__ import annotations

import hashlib
import json
import shlex
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

ROOT = Path.cwd().resolve()


def compile_commands(build: Path) -> dict[Path, dict]:
    entries = json.loads((build / "compile_commands.json").read_text(encoding="utf-8"))
    return {Path(e["directory"], e["file"]).resolve(): e for e in entries}


def preprocess_arguments(entry: dict) -> list[str]:
    """The compile command made to print the preprocessed file, without line
    markers (their paths name the checkout; the text is what counts)."""
    arguments = entry.get("arguments") or shlex.split(entry["command"])
    kept, skip = [], False
    for argument in arguments:
        if skip:
            skip = False
        elif argument in ("-o", "-MF", "-MT", "-MQ"):
            skip = True
        elif argument not in ("-c", "-MD", "-MMD"):
            kept.append(argument)
    return [*kept, "-E", "-P"]


def input_key(entry: dict, common: bytes) -> str | None:
    arguments = preprocess_arguments(entry)
    done = subprocess.run(arguments, cwd=entry["directory"], capture_output=True)
    if done.returncode != 0:
        return None
    digest = hashlib.sha256(common)
    # The flags with the checkout's path taken out: a clone elsewhere hits too.
    digest.update(" ".join(arguments).replace(str(ROOT), ".").encode())
    digest.update(done.stdout)
    return digest.hexdigest()


def main() -> int:
    build, cache = Path(sys.argv[1]), Path(sys.argv[2])
    cache.mkdir(parents=True, exist_ok=True)
    database = compile_commands(build)
    version = subprocess.run(["clang-tidy", "--version"], capture_output=True).stdout
    configs = b"".join(p.read_bytes() for p in sorted(ROOT.rglob(".clang-tidy")))
    common = version + configs

    def check(file: str) -> tuple[str, bool, bool]:
        entry = database.get(Path(file).resolve())
        key = input_key(entry, common) if entry else None
        if key and (cache / key).exists():
            return file, True, True
        done = subprocess.run(
            ["clang-tidy", "-p", str(build), "--quiet", file],
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
            text=True,
        )
        if done.stdout:
            print(done.stdout, end="", flush=True)
        passed = done.returncode == 0
        if passed and key:
            (cache / key).touch()
        return file, passed, False

    with ThreadPoolExecutor(max_workers=2) as pool:
        outcomes = list(pool.map(check, sys.argv[3:]))
    failed = [file for file, passed, _ in outcomes if not passed]
    reused = sum(1 for _, _, cached in outcomes if cached)
    print(
        f"clang-tidy: {len(outcomes)} files, {reused} as passed before, "
        f"{len(outcomes) - reused - len(failed)} passed now, {len(failed)} failed"
    )
    for file in failed:
        print(f"clang-tidy: findings in {file}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
