"""One report through the submission pipeline and the HTTPS client, against the collector:
what goes on the wire, and how delivery is repeated until the collector accepts it."""

import re
import subprocess
import time

import pytest

import harness
from harness import WINE_RUN, wine_env

LEVEL_EVENT = ('{"name":"level","module":"DodeZarevuze","index":"game_analysis-A1",'
               '"identify":"u9","properties":{"identifyType":"user","level":7,'
               '"ga_ver":"0.0.3","device":"Windows"}}')
FIRST_ATTEMPT = 0x20000000  # reuse an existing connection


def submit(host="localhost", path="/event", quit_after_ms=None, timeout=40):
    """Runs one submission; returns [(ms, attempt, connect flags)] and the ms it returned at."""
    args = [str(WINE_RUN), str(harness.BUILD / "pipeline_driver.exe"), host, path]
    if quit_after_ms is not None:
        args.append(str(quit_after_ms))
    out = subprocess.run(args, env=wine_env(), capture_output=True, timeout=timeout,
                         check=True).stdout.decode()
    attempts = [(int(m[1]), int(m[2]), int(m[3], 16))
                for m in re.finditer(r"^(\d+) attempt (\d+) flags 0x([0-9a-f]+)", out, re.M)]
    returned = re.search(r"^(\d+) returned", out, re.M)
    assert returned, out
    return attempts, int(returned[1])


def test_accepted_at_once_is_one_attempt_with_the_exact_request(collector):
    attempts, _ = submit()
    assert [(n, flags) for _, n, flags in attempts] == [(1, FIRST_ATTEMPT)]
    (record,) = collector.wait_for(1)
    assert record["method"] == "POST"
    assert record["path"] == "/event"
    assert record["sni"] == "localhost"
    headers = {k.lower(): v for k, v in record["headers"]}
    assert headers["host"] == "localhost"
    assert headers["user-agent"] == "Mirto_Win0.0.3"
    assert headers["content-type"] == "application/octet-stream"
    assert record["text"] == LEVEL_EVENT
    body = record["body"].decode("ascii")
    assert body.startswith("%7b%22name%22%3a%22level%22%2c%22module%22%3a%22DodeZarevuze%22")
    # Letters and digits as they are, every other byte as three characters.
    plain = sum(c.isascii() and c.isalnum() for c in LEVEL_EVENT)
    assert len(body) == plain + 3 * (len(LEVEL_EVENT) - plain)
    assert collector_problems(record) == []
    assert len(collector.records()) == 1


def collector_problems(record):
    from collector import validate
    return validate(record)


@pytest.mark.parametrize("refusal", ["500", "204", "301", "404", "close"])
def test_refused_attempts_are_repeated_after_a_pause_until_accepted(start_collector, refusal):
    script = [int(refusal) if refusal.isdigit() else refusal] * (2 if refusal == "500" else 1)
    c = start_collector(script=script + [200])
    attempts, _ = submit()
    records = c.wait_for(len(script) + 1)
    assert [r["answer"] for r in records] == [a for a in script] + [200]
    assert all(r["text"] == LEVEL_EVENT for r in records)
    # Only the first attempt may reuse a connection; each later one waits about 5 s first.
    assert [flags for _, _, flags in attempts] == [FIRST_ATTEMPT] + [0] * len(script)
    # The pause is 5000 ms: not shorter, and not much longer (a refused attempt itself takes
    # a few milliseconds, a fresh TLS handshake a few hundred).
    gaps = [b[0] - a[0] for a, b in zip(attempts, attempts[1:])]
    assert all(4900 <= gap <= 6500 for gap in gaps), gaps
    time.sleep(0.5)
    assert len(c.records()) == len(script) + 1, "nothing more after the accepted attempt"


def test_untrusted_certificate_never_receives_a_report(start_collector):
    c = start_collector(cert_name="untrusted-server")
    attempts, returned = submit(quit_after_ms=7000)
    connections = c.wait_for_connections(1)
    assert all(conn["requests"] == 0 for conn in connections), connections
    assert c.records() == []
    assert len(attempts) == 2  # refused at once, then again after the pause
    assert returned < 9000, "the pending wait ended when the worker was told to stop"


def test_a_quitting_worker_stops_retrying_at_once(start_collector):
    c = start_collector(script=[500])
    attempts, returned = submit(quit_after_ms=1500)
    assert len(attempts) == 1
    assert 1500 <= returned < 4000, returned
    assert len(c.records()) == 1
