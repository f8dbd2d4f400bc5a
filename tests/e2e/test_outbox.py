"""The outbox, the bounded flush and the delivery counters, end to end: the shipped DLL under
Wine, real files in the prefix's local application-data folder, the collector over TLS.

The outbox's files are read and written here with Python's own struct and zlib, from the
layout documented in src/outbox/stored_report.cpp, never with the library's code."""

import random
import socket
import subprocess
import time

import pytest

from harness import (NULL, SESSION, SESSION_REPORTS, Game, flush, run_windows, stats,
                     unique_app_id, wait_accepted, wide)
from outbox_files import (batch_sizes, batched_file, encode, local_appdata, outbox_folder, part,
                          saved, windows_path)

FALLBACK_LINE = "Mirto: outbox failed, can not use the disk, delivering from memory only\r\n"
# --- the game --------------------------------------------------------------------------------

def wait_outbox_empty(game, timeout=30):
    """Waits until the game's outbox holds nothing more to send; returns its counters."""
    deadline = time.monotonic() + timeout
    while True:
        s = stats(game)
        if s["waiting_in_outbox"] == 0:
            return s
        assert time.monotonic() < deadline, "the outbox did not empty: %r" % s
        time.sleep(0.05)


def play(game, app_id):
    assert game.call("OnStart", wide(app_id), wide("store"), wide("1.0")) == []
    assert game.calls(SESSION) == []


def end(game, how):
    """Ends the game's process: by returning from main, ExitProcess or TerminateProcess."""
    command = {"return": "return", "exit": "quit", "terminate": "terminate 3"}[how]
    game.proc.stdin.write((command + "\n").encode())
    game.proc.stdin.flush()
    assert game.proc.wait(30) == (3 if how == "terminate" else 0)


@pytest.fixture
def games(arch, trusted_prefix):
    started = []

    def make():
        g = Game()
        started.append(g)
        return g

    yield make
    for g in started:
        g.quit()


# --- saved, quit, sent at the next start ----------------------------------------------------

@pytest.mark.parametrize("how", ["return", "exit", "terminate"])
def test_reports_made_offline_arrive_first_at_the_next_start_exactly_as_live(
        how, games, start_collector):
    app_id = unique_app_id("ob")
    offline = games()
    offline.call("SetOutbox", 1)
    offline.call("SetHost", wide("collector.test"))  # the later start uses the built-in host
    play(offline, app_id)
    assert flush(offline, 5000)[0]
    end(offline, how)
    files, _ = saved(app_id)
    assert len(files) == SESSION_REPORTS and all(r is not None for _, r in files)

    collector = start_collector()
    later = games()
    later.call("SetOutbox", 1)
    assert later.call("OnStart", wide(app_id), wide("store"), wide("1.0")) == []
    sent = wait_accepted(collector, SESSION_REPORTS + 1)
    assert wait_outbox_empty(later)["reports_restored"] == SESSION_REPORTS
    later.quit()
    assert saved(app_id)[0] == []

    # The same session, played live without the outbox, with the same application id.
    live = games()
    play(live, app_id)
    all_sent = wait_accepted(collector, 2 * SESSION_REPORTS + 1)
    live_sent = all_sent[SESSION_REPORTS + 1:]
    assert [(r["path"], r["body"]) for r in sent[:SESSION_REPORTS]] == \
        [(r["path"], r["body"]) for r in live_sent]
    # The later start's own device identify comes after the saved ones.
    assert (sent[SESSION_REPORTS]["path"], sent[SESSION_REPORTS]["body"]) == \
        (live_sent[0]["path"], live_sent[0]["body"])
    assert len(collector.records()) == 2 * SESSION_REPORTS + 1  # none twice
    # Each saved report went to the host it was built for; the new one to today's.
    assert [r["sni"] for r in sent] == ["collector.test"] * SESSION_REPORTS + ["localhost"]


def test_without_the_choice_nothing_touches_the_disk(games, start_collector):
    app_id = unique_app_id("nob")
    collector = start_collector(script=[500, 200])
    g = games()
    play(g, app_id)
    wait_accepted(collector, SESSION_REPORTS)
    assert not (local_appdata() / "mirto" / app_id).exists()
    s = stats(g)
    assert s["outbox_state"] == 0 and s["waiting_in_outbox"] == 0
    assert s["reports_delivered"] == SESSION_REPORTS and s["attempts_failed"] == 1
    assert s["last_failure_status"] == 500 and s["last_failure_error"] == 0
    assert s["operations_accepted"] == 1 + len(SESSION)


# --- Flush ------------------------------------------------------------------------------------

def test_flush_returns_true_once_the_collector_has_everything(games, start_collector):
    collector = start_collector()
    g = games()
    g.call("OnStart", wide(unique_app_id("fl")), NULL, wide("1"))
    g.calls([("SetUser", wide("u1"), NULL)] + [("SetLevel", i) for i in range(20)])
    done, _ = flush(g, 30000)
    assert done
    # Everything queued before the call was delivered when it returned.
    assert len([r for r in collector.records() if r["answer"] == 200]) == 3 + 20


@pytest.mark.parametrize("command", ["Flush", "UnityFlush"])
def test_flush_gives_up_at_its_timeout_when_the_collector_refuses(command, games,
                                                                  start_collector):
    collector = start_collector(script=[500])
    g = games()
    g.call("OnStart", wide(unique_app_id("fl")), NULL, wide("1"))
    collector.wait_for(1)
    for timeout_ms in (0, 300, 1200):
        done, elapsed = flush(g, timeout_ms, command)
        assert not done
        # Never longer than asked, plus a few milliseconds; never much shorter.
        assert timeout_ms - 1 <= elapsed <= timeout_ms + 40, (timeout_ms, elapsed)


def test_flush_with_the_outbox_returns_once_everything_is_stored(games):
    app_id = unique_app_id("fs")
    g = games()
    g.call("SetOutbox", 1)
    play(g, app_id)  # no collector: nothing can be delivered
    done, elapsed = flush(g, 10000, "UnityFlush")
    assert done and elapsed < 10000
    files, _ = saved(app_id)
    assert len(files) == SESSION_REPORTS
    s = stats(g)
    assert s["waiting_in_outbox"] == SESSION_REPORTS and s["reports_delivered"] == 0
    assert s["oldest_waiting_age_ms"] > 0
    # Threads that call without a pause never make one batch grow past 64 operations (each
    # makes at most two reports here).
    g.call("burst", 4, 60)
    assert flush(g, 20000)[0]
    sizes = [n for f in outbox_folder(app_id).glob("*.rpt") for n in batch_sizes(f.read_bytes())]
    assert sum(sizes) >= SESSION_REPORTS + 480 and max(sizes) <= 128, sizes


def test_a_collector_that_does_not_answer_never_holds_up_storing(games, start_collector):
    # The first request is held without an answer (the attempt ends at the 5 s receive
    # time-out); the operations made meanwhile are stored all the same.
    collector = start_collector(script=["hold", 200])
    app_id = unique_app_id("hd")
    g = games()
    g.call("SetOutbox", 1)
    g.call("OnStart", wide(app_id), NULL, wide("1"))
    collector.wait_for(1)
    g.calls([("SetUser", wide("u1"), NULL)] + [("SetLevel", i) for i in range(30)])
    done, elapsed = flush(g, 2000)
    assert done and elapsed < 2000
    assert len(saved(app_id)[0]) == 1 + 2 + 30
    sent = wait_accepted(collector, 1 + 2 + 30, timeout=40)
    assert [r["kind"] for r in sent[:3]] == ["device identify", "user identify",
                                            "user-count identify"]
    assert [r["json"]["properties"]["level"] for r in sent[3:]] == list(range(30))


# --- the counters and the refusals ----------------------------------------------------------

# The header's struct: 4 four-byte fields, 17 counters of 8 bytes, then the consent state and
# the held count (4 bytes each) and 3 counters of 8 bytes. The previous release's ended after
# the first 15 counters.
STATS_SIZE = 4 * 4 + 17 * 8 + 2 * 4 + 3 * 8
PREVIOUS_STATS_SIZE = 4 * 4 + 15 * 8


def test_counters_count_refusals_by_reason_and_read_only_what_the_caller_has_room_for(games):
    g = games()
    s = stats(g, "UnityGetDeliveryStats")
    assert s["size"] == STATS_SIZE and s["outbox_state"] == 0 and s["operations_accepted"] == 0
    assert s["consent_state"] == 0
    assert g.call("SetLevel", 1) == ["Mirto: SetLevel failed, operation queue init failed\r\n"]
    assert g.call("UnitySetOutbox", 7) == []
    assert stats(g)["outbox_state"] == 1  # chosen, not started
    app_id = unique_app_id("st")
    g.call("OnStart", wide(app_id), NULL, wide("1"))
    assert g.call("SetOutbox", 0) == ["Mirto: SetOutbox failed, OnStart already called\r\n"]
    assert g.call("SetLevel", -1) == ["Mirto: SetLevel failed, params error\r\n"]
    assert g.call("SetServer", NULL) == ["Mirto: SetServer failed, params error\r\n"]
    assert flush(g, 5000)[0]  # the start has been handled
    s = stats(g)
    assert (s["operations_accepted"], s["refused_no_worker"], s["refused_params"],
            s["refused_queue_full"], s["outbox_state"]) == (1, 1, 2, 0, 2)

    bad = "Mirto: GetDeliveryStats failed, params error\r\n"
    assert g.call("stats", "null") == [bad]
    assert g.call("UnityGetDeliveryStats", 7) == [bad]
    # An older caller's smaller struct: only its 16 bytes are written.
    small = stats(g, "stats", 16)
    assert small["size"] == 16 and small["outbox_state"] == 2
    assert small["operations_accepted"] == 0xA5A5A5A5A5A5A5A5
    # A caller built against the previous release: its fields filled, nothing past them.
    previous = stats(g, "stats", PREVIOUS_STATS_SIZE)
    assert previous["size"] == PREVIOUS_STATS_SIZE and previous["operations_accepted"] == 1
    assert previous["consent_state"] == 0xA5A5A5A5
    assert previous["reports_dropped_consent"] == 0xA5A5A5A5A5A5A5A5
    # A newer caller's larger struct: what the library knows, and the size it filled.
    large = stats(g, "stats", STATS_SIZE + 16)
    assert large["size"] == STATS_SIZE and large["operations_accepted"] == 1
    assert large["consent_state"] == 0 and large["reports_dropped_consent"] == 0
    assert large["beyond"] == "." * 16


# --- what lies in the outbox -----------------------------------------------------------------

def test_damaged_files_are_counted_and_never_sent_foreign_files_are_left_alone(
        games, start_collector):
    app_id = unique_app_id("dm")
    folder = outbox_folder(app_id)
    folder.mkdir(parents=True)
    written_here = part(1, encode("localhost", "/event", b"%7B%22name%22%3A%22x%22%7D"))
    (folder / "0000000000000001.rpt").write_bytes(written_here)
    damaged = bytearray(part(2, encode("localhost", "/event", b"damaged")))
    damaged[-1] ^= 1
    (folder / "0000000000000002.rpt").write_bytes(bytes(damaged))
    (folder / "0000000000000003.rpt").write_bytes(written_here[:30])
    (folder / "0000000000000004.tmp").write_bytes(part(4, encode("localhost", "/event", b"half")))
    (folder / "readme.txt").write_bytes(b"not the library's")
    # A file of the version before batches: one report alone, named after its sequence number.
    (folder / "0000000000000005.rpt").write_bytes(encode("localhost", "/event", b"single"))
    # Whole, checksummed reports that ask for what the library never does: a host SetHost
    # refuses, another port, no TLS, a host longer than any SetHost takes. And a file too large
    # to be one of the outbox's.
    (folder / "0000000000000006.rpt").write_bytes(batched_file([
        (6, encode("local host", "/event", b"space")),
        (7, encode("localhost", "/event", b"port", port=80)),
        (8, encode("localhost", "/event", b"plain", secure=False)),
        (9, encode("a" * 200, "/event", b"long")),
        (12, encode("localhost", "/admin/delete", b"elsewhere")),
        (10, encode("localhost", "/event", b"batched"))]))
    (folder / "0000000000000011.rpt").write_bytes(b"\0" * (9 * 1024 * 1024 + 1))
    # Whoever listens on port 80 must never hear from the library.
    plain = socket.create_server(("127.0.0.1", 80))
    plain.settimeout(0.2)

    collector = start_collector()
    g = games()
    g.call("SetOutbox", 1)
    g.call("OnStart", wide(app_id), NULL, wide("1"))
    sent = wait_accepted(collector, 4)
    # The reports written here by the documented layouts go out first, byte for byte.
    assert [(r["path"], r["body"]) for r in sent[:3]] == \
        [("/event", b"%7B%22name%22%3A%22x%22%7D"), ("/event", b"single"), ("/event", b"batched")]
    assert sent[3]["kind"] == "device identify"
    s = stats(g)
    assert (s["dropped_damaged"], s["reports_restored"], s["reports_delivered"]) == (4, 3, 4)
    time.sleep(0.3)
    assert len(collector.records()) == 4
    with pytest.raises(socket.timeout):
        plain.accept()
    plain.close()
    assert sorted(p.name for p in folder.iterdir()) == ["lock", "marks", "readme.txt"]


def test_a_saved_file_another_program_holds_is_sent_later_and_never_lost(games,
                                                                        start_collector):
    """A scanner holds the saved file while the game starts (and the lock file for a moment):
    the session goes on with the outbox, sends its own reports, and the held ones once the
    file is let go, in this session or the next; none is lost or sent twice."""
    app_id = unique_app_id("hf")
    offline = games()
    offline.call("SetOutbox", 1)
    play(offline, app_id)
    assert flush(offline, 5000)[0]
    offline.quit()
    files, _ = saved(app_id)
    assert len(files) == SESSION_REPORTS

    scanner = games()
    for f in sorted(outbox_folder(app_id).glob("*.rpt")) + [outbox_folder(app_id) / "lock"]:
        assert scanner.call("lock", wide(windows_path(app_id, f.name))) == []
    collector = start_collector()
    later = games()
    later.call("SetOutbox", 1)
    assert later.call("OnStart", wide(app_id), wide("store"), wide("1.0")) == []
    time.sleep(0.4)
    assert scanner.call("unlock") == []  # the lock only for a moment
    assert scanner.call("lock", wide(windows_path(app_id, sorted(
        outbox_folder(app_id).glob("*.rpt"))[0].name))) == []
    sent = wait_accepted(collector, 1)
    assert sent[0]["kind"] == "device identify"  # this session's, while the file is held
    assert stats(later)["outbox_state"] == 2 and FALLBACK_LINE not in later.worker_lines()
    scanner.call("unlock")
    # Sent once the file is let go, in this session.
    wait_accepted(collector, SESSION_REPORTS + 1, timeout=40)
    stats_later = wait_outbox_empty(later)
    later.quit()
    again = games()
    again.call("SetOutbox", 1)
    again.call("OnStart", wide(app_id), wide("store"), wide("1.0"))
    wait_accepted(collector, SESSION_REPORTS + 2, timeout=40)
    assert stats(again)["reports_restored"] == 0
    again.quit()
    assert stats_later["reports_restored"] == SESSION_REPORTS  # read once it was let go
    # Every saved report once, and each later start's own device identify (which says what
    # the saved one says: same application, same machine).
    bodies = [r["body"] for r in collector.records() if r["answer"] == 200]
    assert sorted(bodies) == sorted([r[2] for _, r in files] + [sent[0]["body"]] * 2)


def test_saved_reports_that_cannot_be_delivered_hold_the_session_up_a_minute_at_most(
        games, start_collector):
    """Saved by an earlier session: a report for a collector that no longer resolves, one built
    31 days ago, and one the collector takes. The first is tried for about a minute, then set
    aside; the old one is given up and counted; the rest arrive in their order."""
    app_id = unique_app_id("st")
    folder = outbox_folder(app_id)
    folder.mkdir(parents=True)
    month = 31 * 24 * 3600 * 1000
    (folder / "0000000000000001.rpt").write_bytes(
        part(1, encode("retired.invalid", "/event", b"retired")) +
        part(2, encode("localhost", "/event", b"stale", created_ms=int(time.time() * 1000) - month)) +
        part(3, encode("localhost", "/event", b"fresh")))
    collector = start_collector()
    g = games()
    g.call("SetOutbox", 1)
    started_at = time.monotonic()
    g.call("OnStart", wide(app_id), NULL, wide("1"))
    sent = wait_accepted(collector, 2, timeout=100)
    held_up = time.monotonic() - started_at
    assert [r["body"] for r in sent[:1]] == [b"fresh"] and sent[1]["kind"] == "device identify"
    assert 55 <= held_up <= 75, held_up
    s = stats(g)
    assert (s["dropped_expired"], s["waiting_in_outbox"], s["reports_restored"]) == (1, 1, 2)
    assert b"stale" not in [r["body"] for r in collector.records()]
    # From then on, this session's reports go at once, however often the one set aside is
    # tried (and fails) while nothing else waits.
    for i in range(3):
        time.sleep(2)
        posted = time.monotonic()
        g.call("OnCharge", wide("o%d" % i), NULL, 1, NULL, 0, NULL)
        wait_accepted(collector, 3 + i, timeout=20)
        assert 0 <= time.monotonic() - posted <= 1.5, time.monotonic() - posted


def test_a_store_that_fails_removes_nothing_it_made_room_for(games):
    """A full outbox of level events on a disk with room for them only (a page each), so the
    next store's file cannot be written: the level event that would have made room stays."""
    app_id = unique_app_id("sf")
    folder = outbox_folder(app_id)
    folder.mkdir(parents=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "nr_blocks=4000", "tmpfs", str(folder)],
                   check=True)
    try:
        level = encode("localhost", "/event", b"l" * 100, priority=0)
        for seq in range(1, 4001):
            (folder / ("%016x.rpt" % seq)).write_bytes(part(seq, level))
        g = games()
        g.call("SetOutbox", 1)
        g.call("OnStart", wide(app_id), NULL, wide("1"))
        g.wait_worker_lines(2)
        assert g.worker_lines().count(FALLBACK_LINE) == 1
        g.quit()
        files, _ = saved(app_id)
        assert [seq for seq, _ in files] == list(range(1, 4001))
    finally:
        subprocess.run(["umount", "-l", str(folder)], check=True)


def test_a_full_outbox_gives_up_level_events_first_and_counts_them(games):
    app_id = unique_app_id("cap")
    folder = outbox_folder(app_id)
    folder.mkdir(parents=True)
    # 3995 saved reports, written here: the oldest ten purchases, then level events.
    purchase = encode("localhost", "/event", b"p" * 100, priority=1)
    level = encode("localhost", "/event", b"l" * 100, priority=0)
    for seq in range(1, 3996):
        (folder / ("%016x.rpt" % seq)).write_bytes(part(seq, purchase if seq <= 10 else level))
    g = games()
    g.call("SetOutbox", 1)
    play(g, app_id)  # the collector is away: 8 reports more, 3 over the cap of 4000
    assert flush(g, 20000)[0]
    s = stats(g)
    assert (s["reports_restored"], s["waiting_in_outbox"], s["dropped_outbox_full"]) == \
        (3995, 4000, 3)
    files, _ = saved(app_id)
    sequences = [seq for seq, _ in files]
    # The three oldest level events (11, 12, 13) went; the purchases before them stayed.
    assert sequences[:10] == list(range(1, 11)) and sequences[10] == 14
    assert len(files) == 4000


# --- two copies, and the disk failing ---------------------------------------------------------

def test_two_copies_of_the_game_never_send_a_saved_report_twice(games, start_collector):
    app_id = unique_app_id("tw")
    first = games()
    first.call("SetOutbox", 1)
    play(first, app_id)
    assert flush(first, 5000)[0]
    second = games()
    second.call("SetOutbox", 1)
    second.call("OnStart", wide(app_id), wide("store"), wide("1.0"))
    second.wait_worker_lines(2)
    assert second.worker_lines().count(FALLBACK_LINE) == 1
    second.calls([("SetUser", wide("u2"), NULL), ("SetLevel", 9)])

    files, _ = saved(app_id)
    saved_bodies = sorted(r[2] for _, r in files)
    assert len(saved_bodies) == SESSION_REPORTS

    collector = start_collector()
    # The first sends its saved reports; the second, from memory, its own four.
    sent = wait_accepted(collector, SESSION_REPORTS + 4, timeout=30)
    assert flush(first, 10000)[0] and flush(second, 10000)[0]
    assert stats(first)["waiting_in_outbox"] == 0
    first.quit()
    second.quit()
    time.sleep(0.5)
    # Nothing more: every request was one of these twelve reports, each sent once.
    assert len(collector.records()) == SESSION_REPORTS + 4
    bodies = [r["body"] for r in sent]
    assert all(bodies.count(b) >= saved_bodies.count(b) for b in saved_bodies)
    third = games()
    third.call("SetOutbox", 1)
    third.call("OnStart", wide(app_id), wide("store"), wide("1.0"))
    wait_accepted(collector, SESSION_REPORTS + 5)
    s = stats(third)
    assert s["reports_restored"] == 0 and s["possible_duplicates"] == 0


def test_an_outbox_folder_that_cannot_be_made_falls_back_to_memory(games, start_collector):
    app_id = unique_app_id("nf")
    (local_appdata() / "mirto").mkdir(exist_ok=True)
    (local_appdata() / "mirto" / app_id).write_bytes(b"a file where the folder would be")
    collector = start_collector()
    g = games()
    g.call("SetOutbox", 1)
    play(g, app_id)
    wait_accepted(collector, SESSION_REPORTS)
    assert g.worker_lines().count(FALLBACK_LINE) == 1
    assert stats(g)["outbox_state"] == 3


@pytest.mark.parametrize("collector_at_first", ["away", "holding"])
def test_a_full_disk_falls_back_to_memory_after_what_was_saved(collector_at_first, games,
                                                               start_collector):
    """Away: nothing listens, attempts fail at once. Holding: the first request gets no answer
    for 5 s, so the disk fills while that attempt runs."""
    app_id = unique_app_id("df")
    folder = outbox_folder(app_id)
    folder.mkdir(parents=True)
    # Room for two pages: the attempt file and the start's device identify; the session's
    # other reports, stored together, need two pages more.
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8k", "tmpfs", str(folder)], check=True)
    try:
        collector = start_collector(script=["hold", 200]) if collector_at_first == "holding" \
            else None
        g = games()
        g.call("SetOutbox", 1)
        g.call("OnStart", wide(app_id), wide("store"), wide("1.0"))
        assert flush(g, 5000)[0]  # the device identify is stored, alone
        if collector:
            collector.wait_for(1)
        assert g.calls(SESSION) == []
        g.wait_worker_lines(2)
        assert g.worker_lines().count(FALLBACK_LINE) == 1
        if collector:
            # The session's reports wait in memory behind the held attempt: a Flush is not
            # done by operations posted after it, however soon those finish.
            (line,) = [x for x in g.ask("flush-while", 500, 12) if x.startswith("flush ")]
            assert line.split()[1] == "0", line
        collector = collector or start_collector()
        deadline = time.monotonic() + 40
        wanted = SESSION_REPORTS + (12 if collector_at_first == "holding" else 0)
        while len([r for r in collector.records() if r["answer"] == 200]) < wanted:
            assert time.monotonic() < deadline, collector.records()
            time.sleep(0.1)
        s = stats(g)
        assert s["outbox_state"] == 3 and s["waiting_in_outbox"] == 0
        assert s["waiting_in_memory"] == 0
        g.quit()
    finally:
        subprocess.run(["umount", "-l", str(folder)], check=True)
    kinds = [r["kind"] for r in collector.records() if r["answer"] == 200]
    expected = ["device identify", "user identify", "user-count identify", "level event",
                "server event", "device charge event", "user charge event", "level event"]
    assert kinds[:SESSION_REPORTS] == expected
    assert kinds[SESSION_REPORTS:] == ([] if collector_at_first == "away" else ["level event"] * 12)


# --- memory running out -------------------------------------------------------------------------

@pytest.mark.parametrize("mode", ["outbox", "memory", "fallback"])
def test_memory_running_out_at_any_allocation_never_ends_the_game_nor_loses_a_report_uncounted(
        mode, collector):
    """tests/e2e/outbox_oom_driver.cpp: a session's delivery (saved reports restored and read
    back, new ones stored, attempts while more arrive, acceptances recorded, files removed; or
    every report from memory; or the disk refusing a store) whose n-th allocation fails, for
    every n the session makes."""
    def runs(first, last):
        result = run_windows("outbox_oom_driver.exe", mode, first, last, timeout=600)
        out = result.stdout.decode()
        assert result.returncode == 0 and out.rstrip().endswith("done"), \
            (result.returncode, out[-2000:], result.stderr.decode(errors="replace")[-2000:])
        lines = out.splitlines()
        found = {}
        for i, line in enumerate(lines):
            if line.startswith("run "):
                fields = dict(item.split("=") for item in line.split()[2:])
                found[int(line.split()[1])] = (fields, lines[i + 1].split()[1:],
                                               lines[i + 2].split()[1:])
        return found

    (fields, _, _), = runs(0, 0).values()
    allocations = int(fields["allocations"])
    assert allocations > 20, fields
    found = runs(1, allocations + 5)
    assert sorted(found) == list(range(1, allocations + 6))
    arrived = {}
    for record in collector.records():
        if record["answer"] == 200:
            arrived.setdefault(record["body"].decode("latin-1"), []).append(record)
    for n, (fields, sent, left) in found.items():
        got = [body for body in arrived if body.startswith("r%d-" % n)]
        times = sum(len(arrived[body]) for body in got)
        unaccounted = set(sent) - set(got) - set(left)
        assert set(got) <= set(sent), (n, got, sent)
        # Every report arrived, or is still saved, or was given up and counted.
        assert len(unaccounted) <= int(fields["dropped"]) <= len(sent), (n, fields, unaccounted)
        # A report that arrived and is still saved goes again at the next start: counted so.
        again = times - len(got) + len(set(got) & set(left))
        assert again <= int(fields["duplicates"]), (n, fields, got, left)
    # Each allocation the session makes failed once (their number varies by one or two between
    # runs, with the threads' timing).
    assert all(found[n][0]["failed"] == "1" for n in range(1, allocations - 5))


# --- killed at any moment -----------------------------------------------------------------------

KILL_RUNS = 50  # for each architecture


def test_killed_at_random_moments_nothing_is_lost_and_only_cut_off_attempts_repeat(
        arch, trusted_prefix, start_collector):
    rng = random.Random(20261209)
    app_id = unique_app_id("kill")
    # Each answer comes 30 ms after the request: kills often land between the two.
    collector = start_collector(script=["200-late"])
    marked_bodies = set()  # reports whose attempt a killed process had begun
    left_behind = 0  # runs whose process was killed with reports still saved
    for run in range(KILL_RUNS):
        g = Game()
        g.call("SetOutbox", 1)
        g.call("OnStart", wide(app_id), NULL, wide("1"))
        g.calls([("SetUser", wide("k%d" % run), NULL)] +
                [("SetLevel", run * 100 + j) for j in range(6)])
        assert flush(g, 10000)[0]  # these six are safe now
        # Six more, and the kill at a random moment while they are stored and sent.
        g.proc.stdin.write(("".join("SetLevel %d\n" % (run * 100 + j) for j in range(6, 12)) +
                            "sleep %d\nterminate 9\n" % rng.randrange(0, 250)).encode())
        g.proc.stdin.flush()
        assert g.proc.wait(30) == 9
        files, marked = saved(app_id)
        # A killed process leaves whole reports, never a damaged one.
        assert all(r is not None for _, r in files), files
        marked_bodies.update(r[2] for seq, r in files if seq == marked)
        left_behind += 1 if files else 0
    # The kills landed while reports were still being sent, often enough to mean something.
    assert left_behind >= KILL_RUNS // 5, left_behind

    files, marked = saved(app_id)
    final = Game()
    final.call("SetOutbox", 1)
    final.call("OnStart", wide(app_id), NULL, wide("1"))
    assert flush(final, 10000)[0]
    deadline = time.monotonic() + 60
    while stats(final)["waiting_in_outbox"] > 0:
        assert time.monotonic() < deadline, "the outbox did not empty"
        time.sleep(0.1)
    s = stats(final)
    final.quit()
    # The counters account for every saved report.
    assert s["reports_restored"] == len(files)
    assert s["reports_delivered"] == len(files) + 1
    assert s["possible_duplicates"] == (1 if any(seq == marked for seq, _ in files) else 0)

    accepted = collector.records()  # every request that arrived, answered or not
    levels = [(r["json"]["identify"], r["json"]["properties"]["level"], r["body"])
              for r in accepted if r["kind"] == "level event"]
    firsts = []
    seen = set()
    for user, level, body in levels:
        if body in seen:
            assert body in marked_bodies, "%s %s arrived twice, its attempt was not cut off" % (
                user, level)
            continue
        seen.add(body)
        firsts.append(level)
    # Every level that was safe arrived; every level arrived in the order it was made.
    assert firsts == sorted(firsts)
    assert set(run * 100 + j for run in range(KILL_RUNS) for j in range(6)) <= set(firsts)
    print("kills: %d left reports behind, %d levels of 600 arrived, %d twice" % (
        left_behind, len(firsts), len(levels) - len(firsts)))
    # Reports that are unique by what they say (each run's user identify and levels) arrived
    # again at most once per kill.
    unique = [r["body"] for r in accepted if r["kind"] in ("level event", "user identify")]
    assert len(unique) - len(set(unique)) <= KILL_RUNS
