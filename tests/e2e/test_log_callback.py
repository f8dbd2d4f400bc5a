"""The library's lines in the game's own log, through the shipped DLL: a refusal on the thread
that made the call, a worker line on the worker, each as it is written to the debugger and on
the same thread, the game's texts intact in UTF-8, and nothing once the callback is removed."""

import pytest

from harness import unique_app_id, wide

# The game's texts in the start line: outside code page 1252 (Chinese, an emoji) and inside it;
# a line break in them stays within the one line the game's log gets.
CHANNEL = "频\r\n道"
VERSION = "版本\U0001F600 é"


@pytest.mark.parametrize("flavour", ["on", "unity"], ids=["SetLogCallback", "UnitySetLogCallback"])
def test_every_line_reaches_the_callback_on_its_writing_thread_until_removed(game, collector,
                                                                            flavour):
    game.ask("log", flavour)
    assert game.call("SetLevel", 5) == ["Mirto: SetLevel failed, operation queue init failed\r\n"]
    app_id = unique_app_id("log")
    assert game.call("OnStart", wide(app_id), wide(CHANNEL), wide(VERSION)) == []
    # Once the start's report is delivered, its handler (and the callback it ran) is done.
    assert game.ask("Flush", 30000)[0].startswith("flush 1 ")
    start_line = "Mirto: init succeed (0.0.3), game version: %s, appid: %s, channel: %s" % (
        VERSION, app_id, CHANNEL.replace("\r\n", "  "))
    assert game.logged_lines() == [
        ("caller", "writer", "context", b"Mirto: SetLevel failed, operation queue init failed"),
        ("other", "writer", "context", start_line.encode("utf-8")),
    ]

    game.ask("log", "off")
    # A refusal, and a worker line (a level before any user): both reach the debugger only.
    assert game.call("SetLevel", -1) == ["Mirto: SetLevel failed, params error\r\n"]
    game.call("SetLevel", 3)
    assert game.ask("Flush", 30000)[0].startswith("flush 1 ")
    assert game.worker_lines()[1:] == ["Mirto: need call OnStart && SetUser first\r\n"]
    assert len(game.logged_lines()) == 2
