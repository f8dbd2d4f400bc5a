"""The library's lines in Unity's console, through the binding's log callback (Runtime/MirtoLog.cs).

The programs, the stand-in for mirto.dll and the stand-in for UnityEngine are those of
test_binding.py: the stand-in keeps the callback it is given and hands it lines on request, on
the calling thread or on a native thread of its own, as the library does from its worker.
"""

import json
import re

import pytest

from test_binding import (CALLING_BUILDS, DEFINE_SETS, HEADER, INCLUDE, ROUTED,  # noqa: F401
                          UNITY_WINDOWS_PLAYER, build_dir, driver, needs_mcs,
                          recorder, require, run, run_driver)

REFUSAL = "Mirto: SetLevel failed, params error"
# A worker line with game texts outside every ANSI code page.
START = "Mirto: init succeed (0.0.3), game version: 版本\U0001F600, appid: 游戏, channel: é"
WORKER_REFUSAL = "Mirto: need call OnStart && SetUser first"
DUPLICATE = "Mirto: duplicate call OnStart"


def escaped(text):
    """The text as the stand-in Debug and the driver print it: printable ASCII as it is, every
    other UTF-16 code unit as \\uXXXX."""
    units = text.encode("utf-16-be")
    out = []
    for i in range(0, len(units), 2):
        unit = int.from_bytes(units[i:i + 2], "big")
        out.append(chr(unit) if 32 <= unit < 127 else "\\u%04x" % unit)
    return "".join(out)


def emit(text, on_thread=False):
    return ("emit-thread:" if on_thread else "emit:") + text.encode("utf-8").hex()


def console(text, build):
    """What the console shows of a line in that build; outside Unity it goes to standard error,
    which run_driver does not return."""
    if "UNITY_5_3_OR_NEWER" not in build:
        return []
    failure = " failed" in text or text.startswith(("Mirto: need call", "Mirto: duplicate call"))
    return ["%s %s" % ("Debug.LogWarning" if failure else "Debug.Log", escaped(text))]


@needs_mcs
@pytest.mark.parametrize("defines", CALLING_BUILDS.values(), ids=list(CALLING_BUILDS))
def test_lines_reach_the_console_or_the_game_callback_from_any_thread(build_dir, recorder,
                                                                      defines):
    program = driver(build_dir, defines)
    calls = ["SetLevel|i:-1", emit(REFUSAL), "gc", emit(START, on_thread=True),
             emit(WORKER_REFUSAL, on_thread=True), "SetLogCallback|log", emit(DUPLICATE),
             emit(START, on_thread=True), "SetLogCallback|n", emit(REFUSAL)]
    output = run_driver(program, ["call"] + calls, recorder.parent).splitlines()
    assert output == (
        [ROUTED, "UnitySetLevel i:-1"] + console(REFUSAL, defines) + console(START, defines)
        + console(WORKER_REFUSAL, defines)
        + ["=> logged " + escaped(DUPLICATE), "=> logged " + escaped(START)]
        + console(REFUSAL, defines))


@pytest.fixture(scope="module")
def header_callback():
    """(result, [parameter types], calling convention) of the header's MirtoLogCallback, as clang
    reads the header in C for 32-bit Windows (where the convention is part of the type)."""
    dump = run([require("clang", "clang"), "-x", "c", "-std=c99", "--target=i686-pc-windows-msvc",
                "-fsyntax-only", "-Xclang", "-ast-dump=json", "-I", INCLUDE, HEADER])
    for node in json.loads(dump).get("inner", []):
        if node.get("kind") == "TypedefDecl" and node.get("name") == "MirtoLogCallback":
            typed = re.fullmatch(r"(.+?) \(\*\)\((.*)\) __attribute__\(\((\w+)\)\)",
                                 node["type"]["qualType"])
            assert typed, node["type"]["qualType"]
            return typed.group(1), [p.strip() for p in typed.group(2).split(",")], typed.group(3)
    pytest.fail("no MirtoLogCallback typedef in the public header")


# C type of the callback's parameters and result -> the .NET type of the delegate's.
CALLBACK_KINDS = {"void": "System.Void", "const char *": "System.IntPtr", "void *": "System.IntPtr"}
CONVENTIONS = {"cdecl": "Cdecl"}


@needs_mcs
@pytest.mark.parametrize("defines", DEFINE_SETS.values(), ids=list(DEFINE_SETS))
def test_the_callback_is_one_kept_static_method_marked_for_il2cpp(build_dir, recorder, defines,
                                                                header_callback):
    program = driver(build_dir, defines)
    other_platform = defines not in CALLING_BUILDS.values()
    calls = ["shape"] if other_platform else ["SetHost|s:0068", "gc", "shape"]
    shape = [x for x in run_driver(program, ["call"] + calls, recorder.parent).splitlines()
             if not x.startswith("Unity")]
    result, parameters, convention = header_callback
    delegate = "delegate %s %s %s" % (
        CONVENTIONS[convention], CALLBACK_KINDS[result],
        " ".join("%s %s" % (CALLBACK_KINDS[c], name)
                 for c, name in zip(parameters, ["line", "context"])))
    # A build for another platform has the same callback, but calls nothing that hands it over.
    assert shape == [
        "field static readonly",
        "method static",
        "attribute AOT.MonoPInvokeCallbackAttribute Mirto.NativeMethods+LogCallback",
    ] + ([] if other_platform else ["pointer kept"]) + [delegate]


@needs_mcs
def test_the_callback_is_taken_back_when_the_domain_unloads_or_the_game_quits(build_dir,
                                                                             recorder):
    # The editor reloads scripts in a new domain while the DLL stays loaded: a pointer into the
    # old domain must not be left with it. A player's runtime goes away after its quit while
    # the library's thread may still write.
    program = driver(build_dir, UNITY_WINDOWS_PLAYER)
    output = run_driver(program, ["domain", "SetLevel|i:3", emit(REFUSAL)], recorder.parent)
    assert output.splitlines() == [
        ROUTED, "UnitySetLevel i:3", "Debug.LogWarning " + REFUSAL,
        "UnitySetLogCallback fn:null ctx:null", "RecorderEmit without a callback: Mirto: after"]
    # Calls after the quit (OnDisable, OnDestroy) do not hand it over again; the editor's next
    # play mode does.
    output = run_driver(program, ["call", "SetLevel|i:3", emit(REFUSAL), "quitting",
                                  "SetLevel|i:4", emit(REFUSAL), "play", "SetLevel|i:5"],
                        recorder.parent)
    unrouted = "UnitySetLogCallback fn:null ctx:null"
    assert output.splitlines() == [
        ROUTED, "UnitySetLevel i:3", "Debug.LogWarning " + REFUSAL, unrouted,
        unrouted, "UnitySetLevel i:4", "RecorderEmit without a callback: " + REFUSAL,
        ROUTED, "UnitySetLevel i:5"]
