"""The released package, used the way game teams use it: a mingw game found it with
find_package, and a game built for the MSVC ABI linked against mirto.lib. Both run under
Wine and their reports reach the collector, for each architecture."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

from harness import ROOT, WINE_RUN, wait_accepted, wine_env

def _project_version():
    """The package version, as the build's project() names it."""
    for line in (ROOT / "CMakeLists.txt").read_text().splitlines():
        if line.startswith("project(mirto VERSION "):
            return line.split()[2]
    raise AssertionError("no project version in CMakeLists.txt")


PACKAGE = Path(os.environ.get("MIRTO_PACKAGE_DIR", ROOT / "dist" / ("mirto-" + _project_version())))


@pytest.fixture(scope="module")
def package():
    if not (PACKAGE / "lib" / "cmake" / "mirto" / "mirtoConfig.cmake").exists():
        pytest.fail("no package at %s: run scripts/package.sh" % PACKAGE)
    return PACKAGE


def run_game(folder, program, collector, count):
    """Runs a game from `folder` until `count` reports were accepted, then lets it exit."""
    env = wine_env()
    proc = subprocess.Popen([str(WINE_RUN), str(folder / program)], env=env,
                            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    try:
        return wait_accepted(collector, count, timeout=60)
    finally:
        proc.communicate(b"\n", timeout=30)


def test_layout_holds_both_architectures(package):
    for arch in ("x64", "x86"):
        for name in ("bin/%s/mirto.dll", "lib/%s/mirto.lib", "lib/%s/libmirto.dll.a"):
            assert (package / (name % arch)).is_file(), name % arch
    assert (package / "include" / "mirto" / "mirto.h").is_file()
    assert (package / "lib" / "cmake" / "mirto" / "mirtoConfigVersion.cmake").is_file()
    assert (package.parent / (package.name + ".zip")).is_file()


# How each architecture's MSVC-ABI game is built: clang target, dlltool machine, lld-link machine.
MSVC = {"x64": ("x86_64-pc-windows-msvc", "i386:x86-64", "x64"),
        "x86": ("i686-pc-windows-msvc", "i386", "x86")}
# The kernel32 functions the MSVC-ABI game calls, with their argument bytes (x86 stdcall names).
KERNEL32 = [("GetStdHandle", 4), ("ReadFile", 20), ("ExitProcess", 4)]


def test_mingw_game_with_find_package(package, arch, collector, tmp_path):
    build = tmp_path / "consumer"
    subprocess.run(["cmake", "-S", str(ROOT / "tests" / "package" / "consumer"), "-B", str(build),
                    "-G", "Ninja", "-DCMAKE_TOOLCHAIN_FILE=%s" % (ROOT / "cmake" / ("mingw-%s.cmake" % arch)),
                    "-DCMAKE_PREFIX_PATH=%s" % package], check=True, capture_output=True)
    subprocess.run(["cmake", "--build", str(build)], check=True, capture_output=True)
    records = run_game(build, "consumer.exe", collector, 4)
    assert [r["kind"] for r in records] == [
        "device identify", "user identify", "user-count identify", "level event"]
    assert records[0]["json"]["index"] == "game_analysis-consumer-app"
    assert records[3]["json"]["properties"]["level"] == 12


def test_msvc_abi_game_linked_against_mirto_lib(package, arch, collector, tmp_path):
    triple, machine, lld_machine = MSVC[arch]
    x86 = arch == "x86"
    kernel32_def = tmp_path / "kernel32.def"
    kernel32_def.write_text("LIBRARY kernel32.dll\nEXPORTS\n" + "".join(
        "    %s%s\n" % (name, "@%d" % size if x86 else "") for name, size in KERNEL32))
    subprocess.run(["llvm-dlltool", "-m", machine, "-d", str(kernel32_def),
                    "-l", str(tmp_path / "kernel32.lib")] + (["-k"] if x86 else []), check=True)
    subprocess.run(["clang", "--target=%s" % triple, "-std=c++17", "-O1",
                    "-fno-exceptions", "-I", str(package / "include"), "-c",
                    str(ROOT / "tests" / "package" / "msvc_consumer.cpp"),
                    "-o", str(tmp_path / "game.obj")], check=True)
    subprocess.run(["lld-link", "/machine:%s" % lld_machine, "/entry:entry",
                    "/subsystem:console", "/nodefaultlib",
                    "/out:%s" % (tmp_path / "game.exe"), str(tmp_path / "game.obj"),
                    str(package / "lib" / arch / "mirto.lib"), str(tmp_path / "kernel32.lib")],
                   check=True)
    shutil.copy(package / "bin" / arch / "mirto.dll", tmp_path / "mirto.dll")
    records = run_game(tmp_path, "game.exe", collector, 6)
    assert [r["kind"] for r in records] == [
        "device identify", "user identify", "user-count identify", "level event",
        "device charge event", "user charge event"]
    assert records[4]["json"]["properties"]["order_id"] == "order-9"
    assert all(r["problems"] == [] for r in records)
