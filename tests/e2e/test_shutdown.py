"""Shutdown, end to end: what is queued is delivered (or, with the outbox, stored) within the
timeout, the library then stops and lets go of the outbox, calls are refused as before a
start, and the next start begins a new session."""

import subprocess

from harness import NULL, unique_app_id, utf8, wait_accepted, wide
from test_outbox import (FALLBACK_LINE, SESSION, SESSION_REPORTS, flush, outbox_folder, play,
                         saved, stats)

NO_WORKER = "Mirto: %s failed, operation queue init failed\r\n"
START_KINDS = ["device identify", "user identify", "user-count identify"]


def shutdown(game, timeout_ms, command="Shutdown"):
    (line,) = [x for x in game.ask(command, timeout_ms) if x.startswith("shutdown ")]
    _, result, elapsed = line.split()
    return result == "1", float(elapsed)


def test_shutdown_delivers_what_is_queued_then_refuses_until_a_new_session(game,
                                                                           start_collector):
    collector = start_collector(script=[500, 200])  # the first attempt refused, then accepted
    app_id = unique_app_id("sd")
    assert game.call("OnStart", wide(app_id), NULL, wide("1.0")) == []
    assert game.calls([("SetUser", wide("u1"), NULL), ("SetLevel", 7)]) == []
    done, elapsed = shutdown(game, 15000)
    # Delivered in time, which took the one 5 s pause before the refused report's retry.
    assert done and 4900 <= elapsed < 15000, elapsed
    records = wait_accepted(collector, 4, timeout=1)
    assert [r["kind"] for r in records] == START_KINDS + ["level event"]

    # As before a start: only SetHost and SetOutbox do anything; nothing waits to be flushed.
    assert game.call("SetLevel", 8) == [NO_WORKER % "SetLevel"]
    assert game.call("UnitySetUser", utf8("u1"), NULL) == [NO_WORKER % "SetUser"]
    assert game.call("SetOutbox", 0) == []
    assert shutdown(game, 0, "UnityShutdown")[0]

    # A new start is a new session: the device again (same installation), a user again.
    assert game.call("OnStart", wide(app_id), NULL, wide("1.0")) == []
    assert game.call("SetLevel", 9) == []
    assert game.calls([("SetUser", wide("u2"), NULL), ("SetLevel", 10)]) == []
    again = wait_accepted(collector, 8)[4:]
    assert [r["kind"] for r in again] == START_KINDS + ["level event"]
    assert again[0]["json"]["identify"] == records[0]["json"]["identify"]
    assert again[3]["json"]["identify"] == "u2"
    lines = game.worker_lines()
    assert sum(line.startswith("Mirto: init succeed") for line in lines) == 2, lines
    assert "Mirto: need call OnStart && SetUser first\r\n" in lines, "the user was kept"
    assert "Mirto: duplicate call OnStart\r\n" not in lines


def test_when_the_time_runs_out_what_is_left_is_given_up(game, start_collector):
    collector = start_collector(script=[500])
    game.call("OnStart", wide(unique_app_id("sg")), NULL, wide("1.0"))
    game.calls(SESSION)
    collector.wait_for(1)
    done, elapsed = shutdown(game, 1000)
    # The timeout, then at most the moment the threads take to stop.
    assert not done and 1000 <= elapsed <= 2100, elapsed
    s = stats(game)
    assert s["operations_waiting"] == 0 and s["waiting_in_memory"] == 0
    # Every report of the session: the start's, held in its retries, then the others.
    assert s["reports_delivered"] == 0 and s["dropped_at_quit"] == SESSION_REPORTS, s


def test_with_the_outbox_shutdown_stores_and_lets_another_copy_take_the_outbox(
        game_factory, start_collector):
    app_id = unique_app_id("so")
    first = game_factory()
    first.call("SetOutbox", 1)
    play(first, app_id)  # no collector: nothing can be delivered
    done, elapsed = shutdown(first, 5000)
    assert done and elapsed < 5000
    assert len(saved(app_id)[0]) == SESSION_REPORTS

    # While the first copy still runs, a second one takes the outbox over and sends its reports.
    collector = start_collector()
    second = game_factory()
    second.call("SetOutbox", 1)
    assert second.call("OnStart", wide(app_id), wide("store"), wide("1.0")) == []
    wait_accepted(collector, SESSION_REPORTS + 1)
    s = stats(second)
    assert s["outbox_state"] == 2 and s["reports_restored"] == SESSION_REPORTS, s
    assert FALLBACK_LINE not in second.worker_lines()
    assert saved(app_id)[0] == []


def test_what_a_full_disk_left_in_memory_holds_no_flush_after_shutdown(game):
    app_id = unique_app_id("sf")
    folder = outbox_folder(app_id)
    folder.mkdir(parents=True)
    # Room for the attempt file and the start's device identify only (as in test_outbox).
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8k", "tmpfs", str(folder)], check=True)
    try:
        game.call("SetOutbox", 1)
        game.call("OnStart", wide(app_id), wide("store"), wide("1.0"))
        assert flush(game, 5000)[0]
        assert game.calls(SESSION) == []
        game.wait_worker_lines(2)
        assert game.worker_lines().count(FALLBACK_LINE) == 1
        # No collector: what the disk refused waits in memory, and is given up.
        assert not shutdown(game, 300)[0]
        assert flush(game, 0)[0], "operations given up at the end still hold Flush"
    finally:
        subprocess.run(["umount", "-l", str(folder)], check=True)
