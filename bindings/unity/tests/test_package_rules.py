"""The Unity package as released (scripts/package.sh lays it out and packs it with npm), checked
against Unity's package rules by scripts/check_unity_package.py: the laid-out folder and the
tarball, unpacked here by Python's own tarfile, keep every rule and hold the same files; and each
rule, broken on purpose in a copy, fails the check with its reason. The Quick Start sample
compiles against the package in a Unity build for Windows.
"""

import json
import re
import shutil
import subprocess
import sys
import tarfile
from pathlib import Path

import pytest

from test_binding import (PACKAGE, ROOT, SOURCES, UNITY_WINDOWS_PLAYER, build_dir,  # noqa: F401
                          compile_csharp, needs_mcs)

CHECKER = ROOT / "scripts" / "check_unity_package.py"
MANIFEST = json.loads((PACKAGE / "package.json").read_text())
RELEASE = ROOT / "dist" / ("mirto-" + MANIFEST["version"])
LAID_OUT = RELEASE / "bindings" / "unity"
TARBALL = RELEASE / ("%s-%s.tgz" % (MANIFEST["name"], MANIFEST["version"]))


def check(folder):
    result = subprocess.run([sys.executable, str(CHECKER), str(folder)], capture_output=True,
                            text=True, timeout=60)
    return result.returncode, result.stdout


@pytest.fixture(scope="module")
def laid_out():
    for path in (LAID_OUT / "package.json", TARBALL):
        if not path.is_file():
            pytest.fail("no %s: run scripts/package.sh" % path)
    return LAID_OUT


def files_under(folder):
    return sorted(str(p.relative_to(folder)) for p in folder.rglob("*") if p.is_file())


def test_the_laid_out_package_and_its_tarball_keep_every_rule(laid_out, tmp_path):
    code, output = check(laid_out)
    assert code == 0 and "every rule kept" in output, output
    with tarfile.open(TARBALL) as tarball:
        names = tarball.getnames()
        assert names and all(n.startswith("package/") for n in names), names
        tarball.extractall(tmp_path)
    unpacked = tmp_path / "package"
    assert files_under(unpacked) == files_under(laid_out)
    for name in files_under(laid_out):
        assert (unpacked / name).read_bytes() == (laid_out / name).read_bytes(), name
    code, output = check(unpacked)
    assert code == 0, output
    # What the rules are about is there: both DLLs with their settings, the sample.
    for name in ("Plugins/x86/mirto.dll", "Plugins/x86_64/mirto.dll",
                 "Plugins/x86/mirto.dll.meta", "Plugins/x86_64/mirto.dll.meta",
                 "Samples~/QuickStart/MirtoQuickStart.cs"):
        assert name in files_under(unpacked)


def replace(path, old, new):
    text = path.read_text()
    assert old in text, (path, old)
    path.write_text(text.replace(old, new, 1))


def switch(meta, platform, enabled):
    """Turns one platformData entry of a plugin's .meta on (1) or off (0)."""
    entry = "      %s\n    second:\n      enabled: %d"
    replace(meta, entry % (platform, 1 - enabled), entry % (platform, enabled))


def guid_of(path):
    return re.search(r"^guid: (\w+)$", path.read_text(), re.M).group(1)


def edit_manifest(package, **fields):
    manifest = json.loads((package / "package.json").read_text())
    manifest.update(fields)
    (package / "package.json").write_text(json.dumps(manifest))


def edit_asmdef(package, **fields):
    path = package / "Runtime" / "Mirto.Analytics.asmdef"
    definition = json.loads(path.read_text())
    definition.update(fields)
    path.write_text(json.dumps(definition))


X86 = Path("Plugins/x86/mirto.dll.meta")
X64 = Path("Plugins/x86_64/mirto.dll.meta")

# name: (how a copy of the package is broken, what the check says)
BROKEN = {
    "file-without-meta": (lambda p: (p / "Runtime/MirtoLog.cs.meta").unlink(),
                          "Runtime/MirtoLog.cs: no .meta"),
    "sample-file-without-meta": (
        lambda p: (p / "Samples~/QuickStart/MirtoQuickStart.cs.meta").unlink(),
        "Samples~/QuickStart/MirtoQuickStart.cs: no .meta"),
    "meta-without-file": (
        lambda p: shutil.copy(p / "Runtime/MirtoLog.cs.meta", p / "Runtime/Gone.cs.meta"),
        "Runtime/Gone.cs.meta: a .meta without its file or folder"),
    "guid-twice": (lambda p: replace(p / "README.md.meta", guid_of(p / "README.md.meta"),
                                     guid_of(p / "Runtime.meta")),
                   "is also"),
    "guid-upper-case": (lambda p: replace(p / "Runtime.meta", guid_of(p / "Runtime.meta"),
                                          guid_of(p / "Runtime.meta").upper()),
                        "Runtime.meta: the GUID"),
    "script-as-text": (lambda p: replace(p / "Runtime/MirtoLog.cs.meta", "MonoImporter:",
                                         "TextScriptImporter:"),
                       "TextScriptImporter in place of MonoImporter"),
    "x86-in-the-editor": (lambda p: switch(p / X86, "Editor: Editor", 1),
                          "Plugins/x86/mirto.dll: enabled for ['Editor:Editor', 'Standalone:Win']"),
    "x86_64-for-any-platform": (lambda p: switch(p / X64, ": Any", 1),
                                "Plugins/x86_64/mirto.dll: enabled for Any Platform"),
    "x86_64-player-cpu": (lambda p: replace(p / X64, "      Standalone: Win64\n    second:\n"
                                            "      enabled: 1\n      settings:\n        CPU: x86_64",
                                            "      Standalone: Win64\n    second:\n"
                                            "      enabled: 1\n      settings:\n        CPU: AnyCPU"),
                          "Standalone:Win64: CPU is 'AnyCPU', not 'x86_64'"),
    "dlls-swapped": (lambda p: shutil.copy(p / "Plugins/x86_64/mirto.dll", p / "Plugins/x86/mirto.dll"),
                     "Plugins/x86/mirto.dll: built for machine 0x8664, not x86"),
    "version-not-semver": (lambda p: edit_manifest(p, version="0.1"), "version '0.1' is not SemVer"),
    "name-not-lower-case": (lambda p: edit_manifest(p, name="com.Mirto.analytics"),
                            "name 'com.Mirto.analytics' is not a lower-case reverse-domain name"),
    "sample-path-missing": (lambda p: edit_manifest(p, samples=[{
        "displayName": "Gone", "description": "-", "path": "Samples~/Gone"}]),
        "sample path 'Samples~/Gone' is no folder under Samples~"),
    "asmdef-unknown-field": (lambda p: edit_asmdef(p, autoReference=True),
                             "unknown field 'autoReference'"),
    "script-outside-assemblies": (lambda p: (shutil.copy(p / "Runtime/MirtoLog.cs",
                                                         p / "Stray.cs"),
                                             shutil.copy(p / "Runtime/MirtoLog.cs.meta",
                                                         p / "Stray.cs.meta"),
                                             replace(p / "Stray.cs.meta",
                                                     guid_of(p / "Stray.cs.meta"), "1" * 32)),
                                  "Stray.cs: C# outside any assembly definition"),
}


@pytest.mark.parametrize("case", BROKEN.values(), ids=list(BROKEN))
def test_each_rule_broken_fails_the_check_with_its_reason(laid_out, tmp_path, case):
    breaking, reason = case
    package = tmp_path / "unity"
    shutil.copytree(laid_out, package)
    breaking(package)
    code, output = check(package)
    assert code == 1, output
    assert reason in output, output


@needs_mcs
def test_the_quick_start_sample_compiles_against_the_package(build_dir):
    # As Unity builds an imported sample: into the game's own assembly, which sees only what
    # the package's assembly makes public.
    sample = sorted((PACKAGE / "Samples~" / "QuickStart").glob("*.cs"))
    assert sample
    package = compile_csharp(SOURCES, build_dir / "Mirto.Analytics.player.dll", "library",
                             UNITY_WINDOWS_PLAYER)
    output = compile_csharp(sample, build_dir / "QuickStart.dll", "library", UNITY_WINDOWS_PLAYER,
                            references=[package])
    assert output.stat().st_size > 0
