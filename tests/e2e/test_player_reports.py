"""The reports about the player, through the shipped DLL and its Unity entry points, as the
collector decodes them: exact text, order, preconditions and text that is not ASCII."""

import collections
import re

import pytest

from harness import (NULL, device_facts, expect_exactly_500_fit, started, unique_app_id,
                     user_count_identify_text, user_identify_text, utf8, wait_accepted, wide)

NEED_START = "Mirto: need call OnStart first\r\n"
NEED_START_AND_USER = "Mirto: need call OnStart && SetUser first\r\n"
LEVEL_EVENT = ('{"name":"level","module":"DodeZarevuze","index":"game_analysis-A1",'
               '"identify":"u9","properties":{"identifyType":"user","level":7,'
               '"ga_ver":"0.0.3","device":"Windows"}}')
SERVER_EVENT = ('{"name":"server","module":"DodeZarevuze","index":"game_analysis-A1",'
                '"identify":"u9","properties":{"identifyType":"user","server":"s1",'
                '"ga_ver":"0.0.3","device":"Windows"}}')


def test_level_and_server_events_are_exactly_as_documented(game, collector):
    started(game, collector, "A1")
    game.call("SetUser", wide("u9"), NULL)
    game.call("SetLevel", 7)
    game.call("SetServer", wide("s1"))
    records = wait_accepted(collector, 5)
    level, server = records[3], records[4]
    assert level["path"] == server["path"] == "/event"
    assert level["text"] == LEVEL_EVENT
    assert server["text"] == SERVER_EVENT
    assert level["body"].startswith(
        b"%7b%22name%22%3a%22level%22%2c%22module%22%3a%22DodeZarevuze%22")
    assert all(r["problems"] == [] for r in records)


def test_user_identify_and_user_count_identify(game, collector):
    app_id = unique_app_id("U")
    device, identity = started(game, collector, app_id, channel="", version="3.1")
    game.call("SetUser", wide("player-1"), NULL)
    game.call("SetUser", wide("player-1"), wide("Ann"))
    records = wait_accepted(collector, 5)
    user, count, user_again, count_again = records[1:5]
    install_uuid = device["install_uuid"]
    # Screen size and system version as the game itself reads them from Windows.
    facts = device_facts(game)
    assert user["text"] == user_identify_text(app_id, "player-1", identity, install_uuid, facts,
                                              "", "3.1")
    assert count["text"] == user_count_identify_text(app_id, identity, install_uuid)
    assert user_again["text"] == user_identify_text(app_id, "player-1", identity, install_uuid,
                                                    facts, "", "3.1", user_name="Ann")
    # The same user again sends both again; nothing is counted.
    assert user_again["json"]["properties"]["user_name"] == "Ann"
    assert count_again["text"] == count["text"]
    assert all(r["path"] == "/identify" and r["problems"] == [] for r in records)


def test_charge_events_before_and_after_a_user(game, collector):
    app_id = unique_app_id("C")
    device, identity = started(game, collector, app_id)
    game.call("OnCharge", NULL, NULL, 1, NULL, 0, NULL)
    game.call("SetUser", wide("u5"), NULL)
    game.call("OnCharge", wide("o-1"), wide("gem"), 600, wide("CNY"), 60, wide("card"))
    records = wait_accepted(collector, 6)
    kinds = [r["kind"] for r in records]
    assert kinds == ["device identify", "device charge event", "user identify",
                     "user-count identify", "device charge event", "user charge event"]
    uuid = device["install_uuid"]
    assert records[1]["text"] == (
        '{"name":"charge","module":"DodeZarevuze","index":"game_analysis-%s","identify":"%s",'
        '"properties":{"identifyType":"mobile","ga_ver":"0.0.3","device":"Windows",'
        '"order_id":"","product":"","currency_type":"","payment":"","amount":1,'
        '"virtual_currency_amount":0,"install_uuid":"%s","persist_uuid":"%s"}}'
        % (app_id, identity, uuid, uuid))
    assert records[5]["text"] == (
        '{"name":"charge","module":"DodeZarevuze","index":"game_analysis-%s","identify":"u5",'
        '"properties":{"identifyType":"user","ga_ver":"0.0.3","device":"Windows",'
        '"order_id":"o-1","product":"gem","currency_type":"CNY","payment":"card",'
        '"amount":600,"virtual_currency_amount":60}}' % app_id)
    assert records[4]["json"]["identify"] == identity
    assert all(r["problems"] == [] for r in records)
    assert game.worker_lines()[1:] == [], "a charge without a user is no failure"


def test_preconditions_write_their_line_and_send_nothing(game, collector):
    game.call("OnStart", wide("bad|id"), NULL, NULL)  # the worker runs; the start fails
    game.call("OnCharge", NULL, NULL, 1, NULL, 0, NULL)
    game.call("SetLevel", 1)
    game.call("SetUser", wide("early"), NULL)
    app_id = unique_app_id("P")
    started(game, collector, app_id)
    game.call("SetLevel", 1)
    game.call("SetServer", wide("s"))
    game.call("OnCharge", NULL, NULL, 1, NULL, 0, NULL)
    lines = game.wait_worker_lines(7)
    assert lines[:4] == ["Mirto: init failed, can not create save path\r\n",
                         NEED_START_AND_USER, NEED_START_AND_USER, NEED_START]
    assert lines[4].startswith("Mirto: init succeed")
    assert lines[5:] == [NEED_START_AND_USER, NEED_START_AND_USER]
    # The early user was never stored: the charge goes for the device only.
    records = wait_accepted(collector, 2)
    assert [r["kind"] for r in records] == ["device identify", "device charge event"]

    # A second user replaces the first in every later event.
    game.call("SetUser", wide("first"), NULL)
    game.call("SetUser", wide("second"), NULL)
    game.call("SetLevel", 2)
    last = wait_accepted(collector, 7)[-1]
    assert last["kind"] == "level event" and last["json"]["identify"] == "second"


def test_two_reports_of_one_operation_go_strictly_one_after_the_other(game, start_collector):
    c = start_collector(script=[200, 500, 200])
    app_id = unique_app_id("O")
    game.call("OnStart", wide(app_id), NULL, NULL)
    game.call("SetUser", wide("u1"), NULL)
    records = wait_accepted(c, 3, timeout=30)
    everything = c.records()
    assert [(r["kind"], r["answer"]) for r in everything] == [
        ("device identify", 200), ("user identify", 500), ("user identify", 200),
        ("user-count identify", 200)]
    assert everything[3]["time_monotonic"] >= everything[2]["time_monotonic"]
    assert len(records) == 3


TEXT_CASES = [
    ('say "hi" \\o/', 'say \\"hi\\" \\\\o/'),  # escaped in the JSON text
    ("\u8868\u30bd\u80fd", "\u8868\u30bd\u80fd"),  # Shift-JIS second bytes 0x5C
    ("\u4e2d\u6587 \u00e9\U0001f600", "\u4e2d\u6587 \u00e9\U0001f600"),  # outside code page 1252
]


@pytest.mark.parametrize("locale, code_page", [("en_US.UTF-8", 1252), ("ja_JP.UTF-8", 932)])
def test_text_arrives_intact_whatever_the_code_page(game_factory, collector, locale, code_page):
    game = game_factory(env={"LC_ALL": locale})
    assert device_facts(game)["code_page"] == code_page, "Wine did not take the locale"
    app_id = unique_app_id("T")
    started(game, collector, app_id)
    game.call("SetUser", wide("u"), NULL)
    sent = []
    for text, _ in TEXT_CASES:
        game.call("SetServer", wide(text))
        game.call("UnitySetServer", utf8(text))
        sent += [text, text]
    records = wait_accepted(collector, 3 + len(sent))[3:]
    assert [r["json"]["properties"]["server"] for r in records] == sent
    escaped = [escaped for _, escaped in TEXT_CASES for _ in (0, 1)]
    for record, json_form in zip(records, escaped):
        assert '"server":"%s"' % json_form in record["text"]
        assert record["problems"] == []
        assert re.fullmatch(rb"([A-Za-z0-9]|%[0-9a-f]{2})+", record["body"])
    # The start line is ANSI text, as debuggers expect.
    assert game.worker_lines()[0].startswith("Mirto: init succeed")


def test_a_game_session_from_several_threads_arrives_complete_and_in_order(game, collector):
    app_id = unique_app_id("S")
    started(game, collector, app_id)
    game.call("SetUser", wide("hero"), wide("Hero"))
    game.call("SetServer", wide("eu-1"))
    threads, calls = 4, 25
    game.call("burst", threads, calls)
    expected = 1 + 2 + 1 + threads * calls * 3  # each call: a level event and two charges
    records = wait_accepted(collector, expected, timeout=120)
    assert len(collector.records()) == expected
    levels = collections.defaultdict(list)
    orders = collections.defaultdict(list)
    for r in records[4:]:
        props = r["json"]["properties"]
        if r["kind"] == "level event":
            levels[props["level"] // 1000].append(props["level"] % 1000)
        elif r["kind"] == "user charge event":
            thread, number = props["order_id"][1:].split("-")
            orders[int(thread)].append(int(number))
    for t in range(threads):
        assert levels[t] == list(range(calls))
        assert orders[t] == list(range(calls))
    assert all(r["problems"] == [] for r in records)
    assert game.worker_lines()[1:] == []

    # Nothing stays counted: with the worker held again, exactly 500 operations fit.
    expect_exactly_500_fit(game, collector, expected)
