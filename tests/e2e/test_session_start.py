"""Starting a reporting session through the shipped DLL: the start line, the device identify
as the collector decodes it, the ids kept in the profile file, and what a repeated or failed
start does."""

import json
import re

import pytest

from harness import (NULL, device_facts, device_identify_text, start, stored_ids, unique_app_id,
                     wait_accepted, wide)

ID = re.compile(r"^[0-9a-z]{32}$")


def test_first_start_reports_the_device_with_the_ids_it_stored(game, collector):
    app_id = unique_app_id("A")
    start(game, app_id)
    assert game.wait_worker_lines(1) == [
        "Mirto: init succeed (0.0.3), game version: 1.2, appid: %s, channel: store\r\n" % app_id]
    (record,) = collector.wait_for(1)
    assert record["path"] == "/identify"
    assert record["problems"] == []
    doc = record["json"]
    props = doc["properties"]
    assert ID.match(doc["identify"]) and ID.match(props["install_uuid"])
    assert doc["identify"] != props["install_uuid"]
    # Screen size and system version as the game itself reads them from Windows.
    assert record["text"] == device_identify_text(
        app_id, doc["identify"], props["install_uuid"], device_facts(game), "store", "1.2")
    assert stored_ids(app_id) == {"MirtoId": doc["identify"],
                                  "InstallUUID": props["install_uuid"]}

    # A later process of the same application on this machine reports the same two ids.
    later = game.__class__()
    try:
        start(later, app_id, channel="", version="")
        (_, again) = collector.wait_for(2)
        assert again["json"]["identify"] == doc["identify"]
        assert again["json"]["properties"]["install_uuid"] == props["install_uuid"]
    finally:
        later.quit()

    # Another application has ids of its own.
    other = game.__class__()
    try:
        start(other, unique_app_id("B"))
        third = collector.wait_for(3)[2]["json"]
        assert third["identify"] != doc["identify"]
        assert third["properties"]["install_uuid"] != props["install_uuid"]
    finally:
        other.quit()


def test_a_second_start_is_only_reported_as_a_duplicate(game, collector):
    app_id = unique_app_id("D")
    start(game, app_id, channel="first", version="1.0")
    start(game, unique_app_id("other"), channel="second", version="2.0")
    game.call("SetUser", wide("u1"), NULL)
    game.call("SetLevel", 3)
    lines = game.wait_worker_lines(2)
    assert lines[1] == "Mirto: duplicate call OnStart\r\n"
    records = collector.wait_for(4)
    assert [r["kind"] for r in records] == [
        "device identify", "user identify", "user-count identify", "level event"]
    # The first start's application, channel and version stay.
    assert all(r["json"]["index"] == "game_analysis-" + app_id for r in records)
    assert records[1]["json"]["properties"]["channel"] == "first"
    assert records[1]["json"]["properties"]["ver"] == "1.0"


def test_a_failed_start_changes_nothing_and_a_later_one_runs_every_step(game, collector):
    game.call("OnStart", wide("bad|id"), NULL, NULL)
    game.call("SetUser", wide("u1"), NULL)
    app_id = unique_app_id("F")
    start(game, app_id, version="")
    lines = game.wait_worker_lines(3)
    assert lines == ["Mirto: init failed, can not create save path\r\n",
                     "Mirto: need call OnStart first\r\n",
                     "Mirto: init succeed (0.0.3), game version: , appid: %s, "
                     "channel: store\r\n" % app_id]
    (record,) = collector.wait_for(1)
    assert record["kind"] == "device identify"
    # This game has no version resource.
    assert device_facts(game)["file_version"] is None
    assert record["json"]["properties"]["ver"] == "unknown"
    game.call("SetLevel", 1)
    assert game.wait_worker_lines(4)[3] == "Mirto: need call OnStart && SetUser first\r\n"
    assert len(collector.records()) == 1


def test_an_empty_game_version_reports_the_executables_file_version(game_factory, collector):
    game = game_factory(program="game_driver_versioned.exe")
    app_id = unique_app_id("V")
    start(game, app_id, channel="ch", version="")
    assert game.wait_worker_lines(1) == [
        "Mirto: init succeed (0.0.3), game version: , appid: %s, channel: ch\r\n" % app_id]
    (record,) = collector.wait_for(1)
    # The file version as Windows reads it from the game's own resource.
    assert device_facts(game)["file_version"] == "2.0.3.1"
    assert record["json"]["properties"]["ver"] == "2.0.3.1"


def test_a_given_version_is_never_replaced(game_factory, collector):
    game = game_factory(program="game_driver_versioned.exe")
    start(game, unique_app_id("G"), version="unknown")
    (record,) = collector.wait_for(1)
    assert record["json"]["properties"]["ver"] == "unknown"


def test_full_queue_refuses_everything_then_drains_in_order(game, start_collector):
    c = start_collector(script=[500])
    start(game, unique_app_id("Q"))
    c.wait_for(1, timeout=30)  # the worker is now held in the device identify
    commands = [("SetUser", wide("u1"), NULL)] + [("SetLevel", i) for i in range(498)]
    assert game.calls(commands) == [], "499 operations beside the start are accepted"
    full = {
        "OnStart": game.call("OnStart", NULL, NULL, NULL),
        "SetUser": game.call("SetUser", NULL, NULL),
        "SetLevel": game.call("SetLevel", -1),
        "SetServer": game.call("SetServer", wide("")),
        "OnCharge": game.call("OnCharge", NULL, NULL, 0, NULL, 0, NULL),
    }
    for name, lines in full.items():
        assert lines == ["Mirto: %s failed, operation queue is full\r\n" % name]
    assert game.call("SetHost", wide("collector.test")) == []

    c.set_script([200])
    accepted = wait_accepted(c, 1 + 2 + 498, timeout=120)
    assert [r["kind"] for r in accepted[:3]] == [
        "device identify", "user identify", "user-count identify"]
    assert [r["json"]["properties"]["level"] for r in accepted[3:]] == list(range(498))
    # The device identify was built before the host changed; everything after goes there.
    hosts = [dict((k.lower(), v) for k, v in r["headers"])["host"] for r in accepted]
    assert hosts[0] == "localhost"
    assert set(hosts[1:]) == {"collector.test"}
    assert {r["sni"] for r in accepted[1:]} == {"collector.test"}
    assert all(r["problems"] == [] for r in accepted)
    # Room again: the queue drained completely.
    assert game.call("SetLevel", 1) == []
    last = wait_accepted(c, len(accepted) + 1)[-1]
    assert json.loads(last["text"])["properties"]["level"] == 1


@pytest.mark.parametrize("locale, code_page, channel, ansi", [
    ("en_US.UTF-8", 1252, "\u00e9", b"\xe9"),      # e acute in Windows-1252
    ("ja_JP.UTF-8", 932, "\u8868", b"\x95\x5c"),  # U+8868 in Shift-JIS
])
def test_the_start_line_is_ansi_text_and_the_report_utf8(game_factory, collector, locale,
                                                          code_page, channel, ansi):
    game = game_factory(env={"LC_ALL": locale})
    assert device_facts(game)["code_page"] == code_page, "Wine did not take the locale"
    app_id = unique_app_id("N")
    start(game, app_id, channel=channel, version="1.0")
    (line,) = game.wait_worker_lines(1)
    assert line.encode("latin-1") == (
        b"Mirto: init succeed (0.0.3), game version: 1.0, appid: %s, channel: %s\r\n"
        % (app_id.encode("ascii"), ansi))
    (record,) = collector.wait_for(1)
    assert record["json"]["properties"]["channel"] == channel
    utf8_percent = "".join("%%%02x" % b for b in channel.encode("utf-8")).encode("ascii")
    assert b"%22channel%22%3a%22" + utf8_percent + b"%22" in record["body"]
