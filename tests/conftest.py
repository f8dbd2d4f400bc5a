"""What the Python tests under tests/ share: whether x86 Windows programs can run here, and
the rule that no test skips silently.

Tests that run x86 programs (the `arch` fixture's "x86" parameter, or a test marked
`runs_x86`) are skipped where the machine does not execute 32-bit code, and the run says so in
one line. Any other skip fails the run: a missing prerequisite is a fault of the machine's
set-up (scripts/bootstrap.sh installs everything), not a reason to pass.
"""

import os
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]


def _x86_unavailable():
    """None when x86 Windows programs run here, else why not."""
    if subprocess.run([str(ROOT / "scripts" / "runs-32bit.sh")]).returncode != 0:
        return "this machine does not execute 32-bit code"
    status = subprocess.run(["dpkg-query", "-W", "-f=${Status}", "wine32:i386"],
                            capture_output=True, text=True).stdout
    if "install ok installed" not in status:
        pytest.exit("this machine runs 32-bit code but wine32 is not installed: "
                    "run scripts/bootstrap.sh", returncode=2)
    return None


X86_UNAVAILABLE = _x86_unavailable()
_x86_skipped = []
_other_skips = []


def pytest_configure(config):
    config.addinivalue_line("markers", "runs_x86(flag): the test runs x86 Windows programs "
                            "when its flag is true")


def _runs_x86(item):
    callspec = getattr(item, "callspec", None)
    if callspec is not None and callspec.params.get("arch") == "x86":
        return True
    marker = item.get_closest_marker("runs_x86")
    return marker is not None and callspec is not None and any(
        getattr(v, "name", v) == "x86" for v in callspec.params.values())


def pytest_collection_modifyitems(config, items):
    if X86_UNAVAILABLE is None:
        return
    skip = pytest.mark.skip(reason="x86: " + X86_UNAVAILABLE)
    for item in items:
        if _runs_x86(item):
            item.add_marker(skip)
            _x86_skipped.append(item.nodeid)


def pytest_runtest_logreport(report):
    if report.skipped and not (X86_UNAVAILABLE and report.nodeid in _x86_skipped):
        _other_skips.append((report.nodeid, str(report.longrepr)))


def pytest_terminal_summary(terminalreporter):
    if _x86_skipped:
        terminalreporter.write_line("x86: %d tests skipped: %s" % (len(_x86_skipped),
                                                                   X86_UNAVAILABLE))
    for nodeid, why in _other_skips:
        terminalreporter.write_line("SKIP NOT ALLOWED: %s: %s" % (nodeid, why), red=True)


def pytest_sessionfinish(session, exitstatus):
    if _other_skips and session.exitstatus == 0:
        session.exitstatus = 1
