"""The player's privacy choices, end to end: consent asked for and held, granted, refused,
remembered across runs, and the local data deleted. The shipped DLL under Wine, real profile
and outbox files in the prefix, the collector over TLS.

The expected reports are built from the documented shapes (harness.py), the profile's entries
are decoded here from the platform's struct form, and the outbox's files with outbox_files.py:
nothing expected comes from the library's own code."""

import time

import pytest

from harness import (NULL, SESSION, SESSION_REPORTS, appdata_folder, charge_texts, device_facts, device_identify_text,
                     flush, level_event_text, profile_file, server_event_text, stats,
                     stored_ids, stored_values, texts, unique_app_id, user_count_identify_text,
                     user_identify_text, wait_accepted, wide)
from outbox_files import encode, local_appdata, outbox_folder, part, saved, windows_path

TOO_LATE = "Mirto: SetConsentRequired failed, OnStart already called\r\n"
DELETE_BEFORE_START = "Mirto: DeleteLocalData failed, need call OnStart first\r\n"
NEED_START_AND_USER = "Mirto: need call OnStart && SetUser first\r\n"

# consent_state
NOT_ASKED, WAITING, GRANTED, REFUSED = 0, 1, 2, 3


def session_texts(app_id, identify, install_uuid, facts):
    """What SESSION after a start (channel "store", version "1.0") reports, in order."""
    return ([device_identify_text(app_id, identify, install_uuid, facts, "store", "1.0"),
             user_identify_text(app_id, "u1", identify, install_uuid, facts, "store", "1.0",
                                user_name="Ann"),
             user_count_identify_text(app_id, identify, install_uuid),
             level_event_text(app_id, "u1", 3),
             server_event_text(app_id, "u1", "eu-1")] +
            charge_texts(app_id, identify, install_uuid, "u1", "o1", "gem", 5, "EUR", 50,
                         "card") +
            [level_event_text(app_id, "u1", 4)])


def begin(game, app_id):
    assert game.call("OnStart", wide(app_id), wide("store"), wide("1.0")) == []


def wait_stats(game, wanted, timeout=30):
    """Waits until the game's counters have every value of `wanted`; returns them."""
    deadline = time.monotonic() + timeout
    while True:
        s = stats(game)
        if all(s[k] == v for k, v in wanted.items()):
            return s
        assert time.monotonic() < deadline, "counters never reached %r: %r" % (wanted, s)
        time.sleep(0.05)


def delete_local_data(game, timeout_ms, command="DeleteLocalData"):
    """Whether the call said everything was removed, and the lines it wrote."""
    before = len(game.lines)
    (line,) = [x for x in game.ask(command, timeout_ms) if x.startswith("deleted ")]
    return line == "deleted 1", [text for who, text in game.lines[before:] if who == "caller"]


def roaming_folder(app_id):
    return appdata_folder() / "mirto" / app_id


def windows_profile_path(app_id):
    return "C:\\users\\%s\\AppData\\Roaming\\mirto\\%s\\mirto.ini" % (
        appdata_folder().parent.parent.name, app_id)


# --- 1. required and undecided: held, bounded, nothing leaves, nothing is written ----------------

def test_undecided_operations_are_held_in_order_within_the_bound_and_nothing_leaves(
        game_factory, start_collector):
    app_id = unique_app_id("cw")
    collector = start_collector()
    g = game_factory()
    assert g.call("SetConsentRequired", 1) == []
    g.call("SetOutbox", 1)
    begin(g, app_id)
    assert g.call("SetConsentRequired", 0) == [TOO_LATE]
    # Checked and accepted as today, with the same refusal lines.
    assert g.call("SetUser", wide("u1"), NULL) == []
    assert g.call("SetLevel", -1) == ["Mirto: SetLevel failed, params error\r\n"]
    # 1100 levels and 11 purchases: 113 more than the 1000 held. None is refused as full: held
    # operations leave the queue.
    made = []
    for level in range(1100):
        made.append(("SetLevel", level))
        if level % 100 == 0:
            made.append(("OnCharge", wide("o%d" % level), NULL, 1, NULL, 0, NULL))
    for first in range(0, len(made), 250):
        assert g.calls(made[first:first + 250]) == []
        wait_stats(g, {"operations_waiting": 0})
    s = stats(g)
    assert (s["consent_state"], s["operations_held"], s["held_dropped_full"],
            s["operations_accepted"]) == (WAITING, 1000, 113, 2 + len(made))
    assert s["refused_queue_full"] == 0
    # Nothing was sent, and nothing written: no profile folder, no outbox.
    assert collector.records() == []
    assert not roaming_folder(app_id).exists()
    assert not (local_appdata() / "mirto" / app_id).exists()
    # Flush does not wait for what only the player can release (its answer would take 10
    # minutes otherwise, far past the 2 minutes the harness gives any command).
    assert flush(g, 600000)[0] is False

    g.call("SetConsent", 1)
    # The oldest level events (0 to 112) were given up; the start, the user and every purchase
    # were kept, and everything goes out in the order it was made.
    kept = [op for op in made if op[0] == "OnCharge" or op[1] >= 113]
    expected = ["device identify", "user identify", "user-count identify"]
    for op in kept:
        expected += (["device charge event", "user charge event"] if op[0] == "OnCharge"
                     else ["level event"])
    sent = wait_accepted(collector, len(expected), timeout=120)
    assert [r["kind"] for r in sent] == expected
    assert [r["json"]["properties"]["level"] for r in sent if r["kind"] == "level event"] == \
        list(range(113, 1100))
    assert [r["json"]["properties"]["order_id"] for r in sent
            if r["kind"] == "user charge event"] == ["o%d" % i for i in range(0, 1100, 100)]
    assert stats(g)["operations_held"] == 0


# --- 2. granted: the held session, exactly as without the question -------------------------------

def test_a_grant_stores_the_decision_then_sends_the_held_session_as_an_ungated_one(
        game_factory, start_collector):
    app_id = unique_app_id("cg")
    collector = start_collector()
    g = game_factory()
    assert g.call("UnitySetConsentRequired", 5) == []
    begin(g, app_id)
    assert g.calls(SESSION) == []
    assert wait_stats(g, {"operations_held": 1 + len(SESSION)})["consent_state"] == WAITING
    assert collector.records() == [] and not roaming_folder(app_id).exists()

    g.call("UnitySetConsent", 1)
    sent = wait_accepted(collector, SESSION_REPORTS)
    values = stored_values(app_id)
    assert values["Consent"] == "granted"
    assert texts(sent) == session_texts(app_id, values["MirtoId"], values["InstallUUID"],
                                        device_facts(g))
    # From then on everything flows as usual.
    g.call("SetLevel", 5)
    assert wait_accepted(collector, SESSION_REPORTS + 1)[-1]["text"] == \
        level_event_text(app_id, "u1", 5)
    s = stats(g)
    assert (s["consent_state"], s["operations_held"], s["operations_dropped_consent"]) == \
        (GRANTED, 0, 0)
    assert all(r["problems"] == [] for r in collector.records())


# --- 3. refused: what waits is dropped and counted, nothing made while refused is sent ----------

@pytest.mark.parametrize("waiting", ["saved", "retried"])
def test_a_refusal_drops_what_waits_and_nothing_made_while_it_stands_is_sent(
        waiting, game_factory, start_collector):
    """saved: the session's reports wait in the outbox (the collector is away). retried: the
    device identify is being retried (the collector answers 500) and the rest is queued."""
    app_id = unique_app_id("cx")
    g = game_factory()
    collector = None
    if waiting == "saved":
        g.call("SetOutbox", 1)
        begin(g, app_id)
        assert g.calls(SESSION) == []
        assert flush(g, 10000)[0]
        dropped_reports, dropped_operations = len(saved(app_id)[0]), 0
        assert dropped_reports == SESSION_REPORTS
    else:
        collector = start_collector(script=[500])
        begin(g, app_id)
        collector.wait_for(1)
        assert g.calls(SESSION) == []
        # The device identify; SetUser is kept for a later grant, the four events go.
        dropped_reports, dropped_operations = 1, len(SESSION) - 1

    holder = game_factory()
    if waiting == "saved":
        # Another program holds a file in the outbox folder while the refusal removes it: the
        # refusal is stored first, so a game that quits meanwhile keeps it (and its next start
        # removes what is left).
        (outbox_folder(app_id) / "scan.tmp~").write_bytes(b"")
        holder.call("lock", wide(windows_path(app_id, "scan.tmp~")))
    g.call("SetConsent", 0)
    if waiting == "saved":
        assert flush(g, 300)[0] is False
        assert stored_values(app_id).get("Consent") == "refused"
        holder.call("unlock")
    # Flush waits for the refusal to be carried out, and not for what it dropped.
    assert flush(g, 20000)[0]
    s = stats(g)
    assert (s["consent_state"], s["reports_dropped_consent"], s["operations_dropped_consent"]) \
        == (REFUSED, dropped_reports, dropped_operations)
    assert not outbox_folder(app_id).exists()
    assert stored_values(app_id)["Consent"] == "refused"

    # Accepted as today while refused, producing nothing: counted.
    assert g.calls([("SetLevel", 9), ("OnCharge", wide("o9"), NULL, 9, NULL, 0, NULL)]) == []
    assert flush(g, 10000)[0]
    assert stats(g)["operations_dropped_consent"] == dropped_operations + 2
    if collector is None:
        collector = start_collector()
    else:
        collector.set_script([200])
    refused_requests = len(collector.records())

    # A grant reports from that moment on: the user and the next level, nothing from before.
    g.call("SetConsent", 1)
    g.call("SetLevel", 10)
    expected_kinds = ["level event"] if waiting == "saved" else [
        "user identify", "user-count identify", "level event"]
    sent = wait_accepted(collector, len(expected_kinds))
    assert [r["kind"] for r in sent] == expected_kinds
    assert sent[-1]["text"] == level_event_text(app_id, "u1", 10)
    time.sleep(0.5)
    later = collector.records()[refused_requests:]
    assert [r["kind"] for r in later] == expected_kinds
    assert all(r["answer"] == 500 for r in collector.records()[:refused_requests])


# --- 4. remembered: a stored refusal holds at the next start, a stored grant flows -------------

def test_a_stored_decision_holds_at_every_start_and_a_later_grant_reports_from_then_on(
        game_factory, start_collector):
    app_id = unique_app_id("cm")
    first = game_factory()
    first.call("SetConsent", 0)
    assert stats(first)["consent_state"] == REFUSED  # before any start, as the game said
    begin(first, app_id)
    first.call("SetUser", wide("u0"), NULL)
    assert flush(first, 10000)[0]
    first.quit()
    # The decision alone: a refused session makes no ids.
    assert stored_values(app_id) == {"Consent": "refused"}

    collector = start_collector()
    second = game_factory()  # asks nothing: the stored refusal holds all the same
    begin(second, app_id)
    assert second.calls([("SetUser", wide("u1"), wide("Ann")), ("SetLevel", 1),
                         ("OnCharge", wide("o1"), NULL, 1, NULL, 0, NULL),
                         ("SetUser", wide("u2"), wide("Bo"))]) == []
    assert flush(second, 10000)[0]
    s = stats(second)
    # The level, the purchase and the first user (replaced by the second) were dropped.
    assert (s["consent_state"], s["operations_dropped_consent"]) == (REFUSED, 3)
    assert stored_values(app_id) == {"Consent": "refused"}

    # The grant: the session's start and its current user take effect now, ids are made now.
    second.call("SetConsent", 1)
    second.call("SetLevel", 5)
    sent = wait_accepted(collector, 4)
    values = stored_values(app_id)
    assert values["Consent"] == "granted"
    identify, install_uuid = values["MirtoId"], values["InstallUUID"]
    facts = device_facts(second)
    assert texts(sent) == [
        device_identify_text(app_id, identify, install_uuid, facts, "store", "1.0"),
        user_identify_text(app_id, "u2", identify, install_uuid, facts, "store", "1.0",
                           user_name="Bo"),
        user_count_identify_text(app_id, identify, install_uuid),
        level_event_text(app_id, "u2", 5)]
    second.quit()

    # A later run that asks for consent finds the grant and reports at once, with the same ids.
    third = game_factory()
    third.call("SetConsentRequired", 1)
    begin(third, app_id)
    assert texts(wait_accepted(collector, 5)[4:]) == [
        device_identify_text(app_id, identify, install_uuid, facts, "store", "1.0")]
    assert stats(third)["consent_state"] == GRANTED
    assert len(collector.records()) == 5


def test_a_refusal_before_the_start_drops_what_earlier_runs_saved_and_waits_to_be_stored(
        game_factory, start_collector):
    app_id = unique_app_id("cb")
    first = game_factory()
    first.call("SetOutbox", 1)
    begin(first, app_id)
    assert first.calls(SESSION) == []
    assert flush(first, 10000)[0]  # stored: the collector is away
    assert len(saved(app_id)[0]) == SESSION_REPORTS
    first.quit()

    # The player says no before the next run starts its session, while a scanner holds the
    # profile for a moment.
    holder = game_factory()
    holder.call("lock", wide(windows_profile_path(app_id)))
    second = game_factory()
    second.call("SetOutbox", 1)
    second.call("SetConsent", 0)
    begin(second, app_id)
    second.call("sleep", 200)
    holder.call("unlock")
    assert flush(second, 10000)[0]
    s = stats(second)
    assert (s["consent_state"], s["reports_dropped_consent"]) == (REFUSED, SESSION_REPORTS)
    assert not outbox_folder(app_id).exists()
    second.quit()
    assert stored_values(app_id)["Consent"] == "refused"

    # A later run that asks nothing is held by the stored refusal, also when its start finds
    # the profile held for a moment; a grant sends its own start only, nothing saved before.
    collector = start_collector()
    third = game_factory()
    third.call("SetOutbox", 1)
    holder.call("lock", wide(windows_profile_path(app_id)))
    begin(third, app_id)
    third.call("sleep", 200)
    holder.call("unlock")
    assert flush(third, 10000)[0]
    assert stats(third)["consent_state"] == REFUSED
    third.call("SetConsent", 1)
    (device,) = wait_accepted(collector, 1)
    time.sleep(1)
    assert device["kind"] == "device identify" and len(collector.records()) == 1
    third.call("SetConsent", 0)
    assert flush(third, 10000)[0]
    third.quit()

    # Reports saved beside a stored refusal (another copy of the game held the outbox when it
    # was refused) go at the next start, and Flush returns once they are counted, also when
    # one of their files is held for longer than the library waits.
    folder = outbox_folder(app_id)
    folder.mkdir(parents=True, exist_ok=True)
    for seq in range(1, 5):
        (folder / ("%016x.rpt" % seq)).write_bytes(
            part(seq, encode("localhost", "/event", b"l", priority=0)))
    holder.call("lock", wide(windows_path(app_id, "%016x.rpt" % 4)))
    fourth = game_factory()
    fourth.call("SetOutbox", 1)
    begin(fourth, app_id)
    assert flush(fourth, 10000)[0]
    assert stats(fourth)["reports_dropped_consent"] == 3  # the held file could not be read
    holder.call("unlock")
    # A grant later in the session sends what is made from then on, never what the refusal
    # could not remove.
    before = len(collector.records())
    fourth.call("SetConsent", 1)
    (device,) = wait_accepted(collector, before + 1)[before:]
    time.sleep(1)
    assert device["kind"] == "device identify" and len(collector.records()) == before + 1
    assert stats(fourth)["reports_dropped_consent"] == 4


# --- 5. forget: held, queued and saved reports and the profile go; the next start is new ---------

def test_deleting_local_data_removes_the_profile_and_outbox_and_the_next_start_is_new(
        game_factory, start_collector):
    app_id = unique_app_id("cf")
    g = game_factory()
    assert delete_local_data(g, 1000) == (False, [DELETE_BEFORE_START])
    g.call("SetOutbox", 1)
    # A refused start brings the worker up, but is no start.
    assert g.call("OnStart", NULL, NULL, NULL) == ["Mirto: OnStart failed, params error\r\n"]
    assert delete_local_data(g, 1000) == (False, [DELETE_BEFORE_START])
    begin(g, app_id)
    assert g.calls(SESSION) == []
    assert flush(g, 10000)[0]  # stored: the collector is away
    before = stored_ids(app_id)
    assert len(saved(app_id)[0]) == SESSION_REPORTS

    assert delete_local_data(g, 10000, "UnityDeleteLocalData") == (True, [])
    assert not profile_file(app_id).exists() and not roaming_folder(app_id).exists()
    assert not outbox_folder(app_id).exists()
    assert stats(g)["reports_dropped_consent"] == SESSION_REPORTS
    # Nothing more until the next start.
    lines_before = len(g.worker_lines())
    g.call("SetLevel", 6)
    assert g.wait_worker_lines(lines_before + 1)[-1] == NEED_START_AND_USER

    collector = start_collector()
    begin(g, app_id)
    (device,) = wait_accepted(collector, 1)
    after = stored_ids(app_id)
    assert after.keys() == before.keys() and set(after.values()).isdisjoint(before.values())
    assert device["text"] == device_identify_text(
        app_id, after["MirtoId"], after["InstallUUID"], device_facts(g), "store", "1.0")
    assert "Consent" not in stored_values(app_id)


def test_after_deleting_and_a_shutdown_nothing_is_decided_and_what_is_held_at_the_end_counts(
        game_factory, start_collector):
    app_id = unique_app_id("cs")
    collector = start_collector()
    g = game_factory()
    g.call("SetConsentRequired", 1)
    begin(g, app_id)
    g.call("SetConsent", 1)
    wait_accepted(collector, 1)
    assert delete_local_data(g, 10000)[0]
    # Nothing is decided any more: a call is held, and Flush does not wait for it (10 minutes
    # otherwise, far past the 2 minutes the harness gives any command), nor does Shutdown.
    g.call("SetLevel", 1)
    assert flush(g, 600000)[0] is False
    assert [x.split()[1] for x in g.ask("Shutdown", 600000) if x.startswith("shutdown ")] == \
        ["0"]
    # The next session starts as on a new installation: nothing decided, so everything waits.
    begin(g, app_id)
    assert g.calls(SESSION) == []
    before = wait_stats(g, {"consent_state": WAITING, "operations_held": 1 + len(SESSION)})
    # Shutdown gives up what is still held for the answer, and counts it.
    g.ask("Shutdown", 1000)
    s = stats(g)
    assert (s["operations_held"], s["operations_dropped_consent"]) == \
        (0, before["operations_dropped_consent"] + 1 + len(SESSION))
    assert len(collector.records()) == 1 and not roaming_folder(app_id).exists()


def test_deleting_waits_a_moment_for_a_profile_another_program_holds(game_factory, collector):
    app_id = unique_app_id("ch")
    g = game_factory()
    begin(g, app_id)
    wait_accepted(collector, 1)
    holder = game_factory()
    holder.call("lock", wide(windows_profile_path(app_id)))
    # Held for longer than the library waits: not removed, and it says so.
    assert delete_local_data(g, 10000) == (False, [])
    assert profile_file(app_id).exists()
    # Let go while the library is still trying: removed.
    g.proc.stdin.write(b"DeleteLocalData 10000\n")
    g.proc.stdin.flush()
    time.sleep(0.3)
    holder.call("unlock")
    assert g._expect("ok DeleteLocalData", 60) == ["deleted 1"]
    assert not profile_file(app_id).exists()
