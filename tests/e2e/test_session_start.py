"""Starting a reporting session through the shipped DLL: the start line, the device identify
as the collector decodes it, the ids kept in the profile file, and what a repeated or failed
start does."""

import json
import re

from harness import NULL, stored_ids, unique_app_id, wait_accepted, wide

ID = re.compile(r"^[0-9a-z]{32}$")


def device_identify_text(app_id, identify, props):
    """The exact text of a device identify, with the facts the machine gave it."""
    return (
        '{"module":"DodeZarevuze","index":"game_analysis-%s","identify":"%s","properties":{'
        '"identifyType":"mobile","width":%d,"height":%d,"ga_ver":"0.0.3",'
        '"device_name":"unknown","device":"Windows","network":"windows_-1","provider":"unknown",'
        '"channel":"%s","system_version":"%s","ver":"%s","install_uuid":"%s",'
        '"persist_uuid":"%s"}}' % (
            app_id, identify, props["width"], props["height"], props["channel"],
            props["system_version"], props["ver"], props["install_uuid"], props["install_uuid"]))


def start(game, app_id, channel="store", version="1.2"):
    assert game.call("OnStart", wide(app_id), wide(channel), wide(version)) == []


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
    assert type(props["width"]) is int and type(props["height"]) is int
    assert re.match(r"^Windows \d+\.\d+$", props["system_version"])
    assert props["channel"] == "store" and props["ver"] == "1.2"
    assert ID.match(doc["identify"]) and ID.match(props["install_uuid"])
    assert doc["identify"] != props["install_uuid"]
    assert record["text"] == device_identify_text(app_id, doc["identify"], props)
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
