"""Checks of the Unity C# binding (Runtime/MirtoAnalytics.cs, Runtime/MirtoLog.cs).

- package.json carries the library's version; the assembly definition covers Runtime/.
- It compiles with mcs, warnings as errors and every public member documented, as it is and
  with the symbols a Unity build for Windows or for another platform defines.
- Its native imports, read from the compiled assembly with monodis, match the Unity* functions
  declared in the public header (clang's AST) and, when MIRTO_BUILD_X64 / MIRTO_BUILD_X86 name
  a build folder, the Unity* names that folder's mirto.dll exports: same names, parameter kinds,
  cdecl, library "mirto". Its public methods match the same declarations.
- Its DeliveryStats struct has the fields of the header's MirtoDeliveryStats (names, order, types,
  offsets and size, as clang lays the C struct out for 32- and 64-bit Windows and Mono lays the
  C# struct out for marshalling).
- Its text conversion gives UTF-8 plus one NUL, checked against Python's encoder.
- Each public method, run under Mono, reaches the native function of the same name with the
  expected bytes and integers in the expected order. mirto.dll cannot be loaded by Mono here
  (there is no Mono for Windows under Wine), so a small native library built from the public
  header stands in for it and prints what it receives; it fills the delivery counters with a
  byte pattern, so that every counter the binding returns shows which bytes it came from.
- The flush at quit: after FlushOnQuit, quitting (Application.quitting in a Unity build, where a
  small stand-in for UnityEngine raises it; the end of the process outside Unity) calls the native
  flush once, with the last timeout given, and not at all when it was turned off.
- The library's lines: the binding hands the DLL one callback before the first call that can
  write a line, a static method marked for IL2CPP's reverse P/Invoke (MonoPInvokeCallback) behind
  a delegate held in a static readonly field, whose signature and calling convention are the
  header's MirtoLogCallback; lines reach Unity's console (a warning for failures) or the game's
  own callback, in UTF-8 intact, from any thread; the callback is taken back when the domain
  unloads.

The C# and C helper programs live in this file, not beside it: Unity imports every file of a
package folder, and would compile a .cs file found there into the game (and a .c file into
IL2CPP builds).
"""

import functools
import json
import os
import re
import shutil
import subprocess
from dataclasses import dataclass
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parents[1]
ROOT = PACKAGE.parents[1]
SOURCE = PACKAGE / "Runtime" / "MirtoAnalytics.cs"
SOURCES = sorted((PACKAGE / "Runtime").glob("*.cs"))
INCLUDE = ROOT / "include"
HEADER = INCLUDE / "mirto" / "mirto.h"

MCS = shutil.which("mcs")


def needs_mcs(test):
    """The C# compiler is a prerequisite that scripts/bootstrap.sh installs: without it the test
    fails (it does not skip)."""
    @functools.wraps(test)
    def checked(*args, **kwargs):
        if MCS is None:
            pytest.fail("mcs is not installed (Debian package mono-mcs; scripts/bootstrap.sh "
                        "installs it): cannot compile the C# binding")
        return test(*args, **kwargs)
    return checked

# Symbols a Unity build defines: a Windows player, the Windows editor, and another platform.
# An empty set stands for a plain .NET build outside Unity.
UNITY_WINDOWS_PLAYER = ("UNITY_5_3_OR_NEWER", "UNITY_STANDALONE", "UNITY_STANDALONE_WIN")
UNITY_WINDOWS_EDITOR = ("UNITY_5_3_OR_NEWER", "UNITY_EDITOR", "UNITY_EDITOR_WIN", "UNITY_ANDROID")
UNITY_OTHER_PLATFORM = ("UNITY_5_3_OR_NEWER", "UNITY_ANDROID")
# The editor on another system, building for Windows: the DLL cannot load there.
UNITY_OTHER_EDITOR_FOR_WINDOWS = ("UNITY_5_3_OR_NEWER", "UNITY_EDITOR", "UNITY_EDITOR_OSX",
                                  "UNITY_STANDALONE", "UNITY_STANDALONE_WIN")
DEFINE_SETS = {
    "plain": (),
    "unity-windows-player": UNITY_WINDOWS_PLAYER,
    "unity-windows-editor": UNITY_WINDOWS_EDITOR,
    "unity-other-platform": UNITY_OTHER_PLATFORM,
    "unity-other-editor-for-windows": UNITY_OTHER_EDITOR_FOR_WINDOWS,
}
SILENT_BUILDS = ("unity-other-platform", "unity-other-editor-for-windows")

# C parameter type -> the IL types the managed declaration may use for it.
NATIVE_KINDS = {"const char *": {"unsigned int8[]", "native int"}, "int": {"int32"},
                "unsigned int": {"unsigned int32"},
                "MirtoDeliveryStats *": {"valuetype Mirto.DeliveryStats&"},
                "MirtoLogCallback": {"class Mirto.NativeMethods/LogCallback"},
                "void *": {"native int"}}
# C result type -> the IL result type of the managed declaration.
NATIVE_RESULTS = {"void": "void", "int": "int32"}
# C parameter type -> the IL type of the public method's parameter.
MANAGED_KINDS = {"const char *": "string", "int": "int32", "unsigned int": "unsigned int32"}
# Public methods whose form differs from their native function's: (IL result, [(IL type, name)]).
# A C int flag is a bool, an int that is 1 or 0 a bool, and the struct the library fills the
# method's result.
MANAGED_FORMS = {
    "SetOutbox": ("void", [("bool", "enabled")]),
    "Flush": ("bool", [("unsigned int32", "timeoutMs")]),
    "GetDeliveryStats": ("valuetype Mirto.DeliveryStats", []),
    # Lines go to a managed callback (or, with null, the console); the binding keeps the native
    # callback to itself, and no context is needed.
    "SetLogCallback": ("void", [("class [mscorlib]System.Action`1<string>", "callback")]),
    "SetConsentRequired": ("void", [("bool", "required")]),
    "SetConsent": ("void", [("bool", "granted")]),
    "DeleteLocalData": ("bool", [("unsigned int32", "timeoutMs")]),
    "Shutdown": ("bool", [("unsigned int32", "timeoutMs")]),
}
# Public methods of the binding alone, with no native function of their own.
BINDING_ONLY = {"FlushOnQuit": ("void", [("unsigned int32", "timeoutMs")])}
# C field type of MirtoDeliveryStats -> the C# field type of DeliveryStats.
STRUCT_FIELD_KINDS = {"unsigned int": "System.UInt32", "unsigned long long": "System.UInt64"}


def run(args, env=None, timeout=120):
    result = subprocess.run([str(a) for a in args], capture_output=True, text=True, env=env,
                            timeout=timeout)
    assert result.returncode == 0, (
        f"{' '.join(map(str, args))} exited {result.returncode}\n{result.stdout}\n{result.stderr}")
    return result.stdout


def require(tool, package):
    path = shutil.which(tool)
    if path is None:
        pytest.fail(f"{tool} is not installed (Debian package {package})")
    return path


def compile_csharp(sources, output, target, defines=(), doc=None, references=()):
    args = [MCS, f"-target:{target}", "-warnaserror", "-warn:4", f"-out:{output}"]
    args += [f"-r:{reference}" for reference in references]
    if defines:
        args.append("-define:" + ";".join(defines))
    if "UNITY_5_3_OR_NEWER" in defines:
        args.append(f"-r:{unity_engine_stand_in(Path(output).parent)}")
    if doc is not None:
        args.append(f"-doc:{doc}")
    run(args + [str(s) for s in sources])
    return output


def camel_case(snake):
    head, *rest = snake.split("_")
    return head + "".join(part.capitalize() for part in rest)


def pascal_case(snake):
    return "".join(part.capitalize() for part in snake.split("_"))


# What the binding and its sample use of UnityEngine, for compiling them outside Unity. Quit()
# raises quitting, as Unity's does before the player ends. Debug prints what the console would
# show, each character outside printable ASCII as \uXXXX (the programs run in the C locale).
UNITY_ENGINE_SOURCE = r"""
namespace UnityEngine
{
    public class MonoBehaviour
    {
    }

    [System.AttributeUsage(System.AttributeTargets.Field)]
    public class TooltipAttribute : System.Attribute
    {
        public TooltipAttribute(string tooltip)
        {
        }
    }

    public struct Rect
    {
        public Rect(float x, float y, float width, float height)
        {
        }
    }

    public static class GUI
    {
        public static void Box(Rect position, string text)
        {
        }

        public static void Label(Rect position, string text)
        {
        }

        public static bool Button(Rect position, string text)
        {
            return false;
        }
    }

    public static class PlayerPrefs
    {
        public static bool HasKey(string key)
        {
            return false;
        }

        public static int GetInt(string key, int defaultValue = 0)
        {
            return defaultValue;
        }

        public static void DeleteKey(string key)
        {
        }

        public static void SetInt(string key, int value)
        {
        }

        public static void Save()
        {
        }
    }

    public static class Application
    {
        public static string version
        {
            get { return "1.0"; }
        }

        public static event System.Action quitting;

        public static void Quit()
        {
            var handler = quitting;
            if (handler != null)
            {
                handler();
            }
        }
    }

    public enum RuntimeInitializeLoadType
    {
        SubsystemRegistration = 4,
    }

    [System.AttributeUsage(System.AttributeTargets.Method)]
    public class RuntimeInitializeOnLoadMethodAttribute : System.Attribute
    {
        public RuntimeInitializeOnLoadMethodAttribute(RuntimeInitializeLoadType loadType)
        {
        }
    }

    public static class Debug
    {
        public static void Log(object message)
        {
            Show("Debug.Log", message);
        }

        public static void LogWarning(object message)
        {
            Show("Debug.LogWarning", message);
        }

        private static void Show(string kind, object message)
        {
            var text = new System.Text.StringBuilder(kind + " ");
            foreach (var c in message.ToString())
            {
                text.Append(c >= ' ' && c < 127 ? c.ToString() : "\\u" + ((int)c).ToString("x4"));
            }
            System.Console.WriteLine(text);
            System.Console.Out.Flush();
        }
    }
}

namespace AOT
{
    [System.AttributeUsage(System.AttributeTargets.Method)]
    public class MonoPInvokeCallbackAttribute : System.Attribute
    {
        public MonoPInvokeCallbackAttribute(System.Type type)
        {
        }
    }
}
"""


def unity_engine_stand_in(folder):
    library = folder / "UnityEngine.dll"
    if not library.exists():
        (folder / "UnityEngine.cs").write_text(UNITY_ENGINE_SOURCE)
        run([MCS, "-target:library", "-warnaserror", f"-out:{library}", folder / "UnityEngine.cs"])
    return library


# --- the header ---------------------------------------------------------------------------------

@dataclass
class CFunction:
    name: str
    result: str
    calling_convention: str
    parameters: list  # [(name, type)]


@pytest.fixture(scope="session")
def header_functions():
    """The Unity* declarations, as clang reads the header in C for 32-bit Windows (where the
    calling convention is part of the type)."""
    clang = require("clang", "clang")
    dump = json.loads(run([clang, "-x", "c", "-std=c99", "--target=i686-pc-windows-msvc",
                           "-fsyntax-only", "-Xclang", "-ast-dump=json", "-I", INCLUDE, HEADER]))
    functions = {}
    for node in dump.get("inner", []):
        if node.get("kind") != "FunctionDecl" or node.get("isImplicit"):
            continue
        if not node["name"].startswith("Unity"):
            continue
        qual_type = node["type"]["qualType"]
        convention = re.search(r"__attribute__\(\((\w+)\)\)", qual_type)
        functions[node["name"]] = CFunction(
            node["name"], qual_type.split(" (", 1)[0],
            convention.group(1) if convention else "",
            [(p["name"], p["type"]["qualType"]) for p in node.get("inner", [])
             if p.get("kind") == "ParmVarDecl"])
    assert functions, "no Unity* declarations found in the public header"
    return functions


def test_header_declares_the_kinds_the_binding_knows(header_functions):
    for function in header_functions.values():
        assert function.result in NATIVE_RESULTS, function
        assert function.calling_convention == "cdecl", function
        for name, c_type in function.parameters:
            assert c_type in NATIVE_KINDS, f"{function.name}: parameter {name} has type {c_type}"


# --- the package ---------------------------------------------------------------------------------

def test_package_manifest_carries_the_library_version():
    manifest = json.loads((PACKAGE / "package.json").read_text())
    project = re.search(r"project\(\s*mirto\s+VERSION\s+([\d.]+)",
                        (ROOT / "CMakeLists.txt").read_text())
    assert project, "no project(mirto VERSION ...) in CMakeLists.txt"
    assert manifest["version"] == project.group(1)
    # Unity refuses a package whose name is not lower-case reverse-domain, or whose minimum
    # editor version is not "major.minor".
    assert re.fullmatch(r"[a-z0-9-]+(\.[a-z0-9-]+){2,}", manifest["name"]), manifest["name"]
    assert re.fullmatch(r"\d{4}\.\d+", manifest["unity"]), manifest["unity"]
    assert manifest["displayName"].strip()


def test_assembly_definition_covers_the_runtime_code():
    definitions = list((PACKAGE / "Runtime").glob("*.asmdef"))
    assert [d.parent for d in definitions] == [SOURCE.parent]
    definition = json.loads(definitions[0].read_text())
    assert definition["name"] == definitions[0].stem
    # Game scripts without an assembly definition of their own must see the class, and the
    # methods must exist on every platform (they do nothing off Windows).
    assert definition.get("autoReferenced", True) is True
    assert not definition.get("includePlatforms") and not definition.get("excludePlatforms")
    assert not definition.get("defineConstraints")


def test_assembly_definition_lets_the_code_use_the_engine():
    # The flush at quit hangs on UnityEngine.Application.quitting; an assembly definition with
    # "No Engine References" would not compile in Unity.
    definition = json.loads((SOURCE.parent / "Mirto.Analytics.asmdef").read_text())
    if any("UnityEngine." in source.read_text() for source in SOURCES):
        assert definition.get("noEngineReferences", False) is False


@pytest.mark.parametrize("folder", ["x86_64", "x86"])
def test_plugin_folders_exist_for_the_packaging_step(folder):
    assert (PACKAGE / "Plugins" / folder / "README.md").is_file()


# --- the compiled assembly ----------------------------------------------------------------------

@pytest.fixture(scope="session")
def build_dir(tmp_path_factory):
    return tmp_path_factory.mktemp("unity_binding")


@pytest.fixture(scope="session")
def assembly(build_dir):
    return compile_csharp(SOURCES, build_dir / "Mirto.Analytics.dll", "library",
                          doc=build_dir / "Mirto.Analytics.xml")


@needs_mcs
@pytest.mark.parametrize("defines", DEFINE_SETS.values(), ids=list(DEFINE_SETS))
def test_compiles_cleanly_with_every_public_member_documented(build_dir, defines):
    # -doc turns a missing or malformed XML comment on a public member into a warning, and
    # -warnaserror into a failure; the no-op form for other platforms must be clean as well.
    stem = "Mirto.Analytics." + ("-".join(defines) or "plain")
    output = compile_csharp(SOURCES, build_dir / f"{stem}.dll", "library", defines,
                            doc=build_dir / f"{stem}.xml")
    assert output.stat().st_size > 0
    documented = (build_dir / f"{stem}.xml").read_text()
    assert 'name="T:Mirto.MirtoAnalytics"' in documented


@dataclass
class IlMethod:
    type_name: str
    type_flags: str
    flags: str
    name: str
    result: str
    parameters: list  # [(il type, name)]
    library: str = None
    entry_point: str = None
    pinvoke_flags: tuple = ()


METHOD_RE = re.compile(
    # No brace in the flags: a match never runs on into the next method. The result type may
    # have several words ("unsigned int8[]").
    r"\.method\s+(?P<flags>[^{]*?)\s+default\s+(?P<result>[^(\n]*?)\s+(?P<name>[\w.]+|'[^'\n]+')\s*"
    r"\((?P<params>[^)]*)\)\s+(?:cil|runtime) managed")
PINVOKE_RE = re.compile(r'pinvokeimpl\s*\("(?P<library>[^"]*)"\s+as\s+"(?P<entry>[^"]*)"(?P<flags>[^)]*)\)')
CLASS_RE = re.compile(r"^[ \t]*\.class\s+(?P<flags>.*?)\s*(?P<name>[\w.`]+)\s*$", re.M)
NAMESPACE_RE = re.compile(r"^[ \t]*\.namespace\s+(?P<name>[\w.]+)\s*$", re.M)


def parse_il(text):
    """Methods of a monodis listing, each with its type's full name and flags."""
    marks = sorted([(m.start(), "namespace", m) for m in NAMESPACE_RE.finditer(text)]
                   + [(m.start(), "class", m) for m in CLASS_RE.finditer(text)]
                   + [(m.start(), "method", m) for m in METHOD_RE.finditer(text)],
                   key=lambda mark: mark[0])
    namespace, type_name, type_flags, methods = "", None, "", []
    for _, kind, match in marks:
        if kind == "namespace":
            namespace = match["name"]
        elif kind == "class":
            type_name = f"{namespace}.{match['name']}" if namespace else match["name"]
            type_flags = match["flags"]
        else:
            parameters = []
            for parameter in filter(None, (p.strip() for p in match["params"].split(","))):
                parameter = re.sub(r"^\[[^\]]*\]\s*", "", parameter)  # [in], [out]
                il_type, _, name = parameter.rpartition(" ")
                parameters.append((il_type, name))
            method = IlMethod(type_name, type_flags, match["flags"], match["name"],
                              match["result"], parameters)
            pinvoke = PINVOKE_RE.search(match["flags"])
            if pinvoke:
                method.library = pinvoke["library"]
                method.entry_point = pinvoke["entry"]
                method.pinvoke_flags = tuple(pinvoke["flags"].split())
            methods.append(method)
    return methods


@pytest.fixture(scope="session")
def il_methods(assembly):
    monodis = require("monodis", "mono-utils")
    listing = run([monodis, assembly])
    methods = parse_il(listing)
    assert len(methods) == len(re.findall(r"^\s*\.method\b", listing, re.M)), (
        "some methods of the monodis listing were not understood")
    return methods


@pytest.fixture(scope="session")
def imports(il_methods):
    return {m.entry_point: m for m in il_methods if m.entry_point is not None}


@needs_mcs
def test_imports_are_exactly_the_header_functions(imports, header_functions):
    assert sorted(imports) == sorted(header_functions)


@needs_mcs
def test_imports_live_in_one_internal_class(imports):
    for entry, method in imports.items():
        assert method.type_name == "Mirto.NativeMethods", entry
        # A top-level C# "internal" class is "private" in IL.
        assert "public" not in method.type_flags.split(), entry
        assert "public" not in method.flags.split(), entry


@needs_mcs
def test_imports_load_mirto_with_cdecl_and_exact_names(imports):
    for entry, method in imports.items():
        assert method.library == "mirto", entry
        assert "cdecl" in method.pinvoke_flags, (entry, method.pinvoke_flags)
        for other in ("winapi", "stdcall", "thiscall", "fastcall"):
            assert other not in method.pinvoke_flags, (entry, method.pinvoke_flags)
        # ExactSpelling: the runtime must not go looking for an ...A or ...W variant.
        assert "nomangle" in method.pinvoke_flags, (entry, method.pinvoke_flags)
        # Automatic string conversion is what the byte arrays avoid; none may be asked for.
        assert not {"ansi", "unicode", "autochar"} & set(method.pinvoke_flags), entry


@needs_mcs
def test_import_signatures_match_the_header(imports, header_functions):
    for name, function in header_functions.items():
        method = imports[name]
        assert method.result == NATIVE_RESULTS[function.result], name
        assert len(method.parameters) == len(function.parameters), name
        for (il_type, il_name), (c_name, c_type) in zip(method.parameters, function.parameters):
            assert il_type in NATIVE_KINDS[c_type], f"{name}({c_name}): {il_type} for {c_type}"
            assert il_name == camel_case(c_name), f"{name}: {il_name} in place of {c_name}"


@needs_mcs
def test_public_methods_mirror_the_header(il_methods, header_functions):
    public = {m.name: m for m in il_methods
              if m.type_name == "Mirto.MirtoAnalytics" and "public" in m.flags.split()}
    assert sorted(public) == sorted([name[len("Unity"):] for name in header_functions]
                                    + list(BINDING_ONLY))
    expected = dict(BINDING_ONLY)
    for name, function in header_functions.items():
        expected[name[len("Unity"):]] = MANAGED_FORMS.get(name[len("Unity"):]) or (
            "void", [(MANAGED_KINDS[c_type], camel_case(c_name))
                     for c_name, c_type in function.parameters])
    for name, (result, parameters) in expected.items():
        method = public[name]
        assert "static" in method.flags.split(), name
        assert method.result == result, name
        assert method.parameters == parameters, name


# --- the delivery counters ----------------------------------------------------------------------

@dataclass
class CField:
    name: str
    c_type: str
    offset: int
    size: int


LAYOUT_TARGETS = ["i686-pc-windows-msvc", "x86_64-pc-windows-msvc", "i686-w64-windows-gnu",
                  "x86_64-w64-windows-gnu"]
TYPE_SIZES = {"unsigned int": 4, "unsigned long long": 8}


def c_struct_layout(target):
    """(fields, sizeof) of MirtoDeliveryStats as clang lays it out for target."""
    dump = run([require("clang", "clang"), "-x", "c", "-std=c99", f"--target={target}",
                "-fsyntax-only", "-Xclang", "-fdump-record-layouts-complete", "-I", INCLUDE,
                HEADER])
    block = dump.split("struct MirtoDeliveryStats\n", 1)
    assert len(block) == 2, f"no layout of MirtoDeliveryStats for {target}"
    fields = []
    for line in block[1].splitlines():
        size = re.match(r"\s*\|\s*\[sizeof=(\d+),", line)
        if size:
            return fields, int(size.group(1))
        field = re.fullmatch(r"\s*(\d+)\s*\|\s{3}(\S.*?)\s+(\w+)\s*", line)
        assert field, f"{target}: cannot read {line!r}"
        c_type = field.group(2)
        assert c_type in TYPE_SIZES, f"{target}: field {field.group(3)} has type {c_type}"
        fields.append(CField(field.group(3), c_type, int(field.group(1)), TYPE_SIZES[c_type]))
    pytest.fail(f"no sizeof in the layout of MirtoDeliveryStats for {target}")


@pytest.fixture(scope="session")
def header_struct():
    layouts = {target: c_struct_layout(target) for target in LAYOUT_TARGETS}
    first = layouts[LAYOUT_TARGETS[0]]
    for target, layout in layouts.items():
        # One C# struct serves both architectures, so the C layout must not depend on them.
        assert layout == first, f"MirtoDeliveryStats is laid out differently for {target}"
    fields, size = first
    assert len(fields) >= 2 and fields[0].name == "size" and fields[0].c_type == "unsigned int"
    return first


@needs_mcs
def test_delivery_stats_struct_matches_the_header(build_dir, header_struct):
    fields, size = header_struct
    output = run_driver(driver(build_dir, ()), ["layout"]).splitlines()
    assert output[-1] == f"sizeof {size}"
    assert output[:-1] == [
        f"{pascal_case(f.name)} {STRUCT_FIELD_KINDS[f.c_type]} {f.offset} {f.size}" for f in fields]


# --- the DLL's exports --------------------------------------------------------------------------

DLL_BUILDS = {"x64": ("MIRTO_BUILD_X64", "x86_64-w64-mingw32-objdump"),
              "x86": ("MIRTO_BUILD_X86", "i686-w64-mingw32-objdump")}


def dll_exports(variable, objdump):
    build = os.environ.get(variable)
    if not build:
        pytest.fail(f"{variable} is not set; the export table of mirto.dll cannot be checked")
    dll = Path(build) / "mirto.dll"
    if not dll.is_file():
        pytest.fail(f"{variable} is set, but {dll} does not exist")
    listing = run([require(objdump, "binutils-mingw-w64"), "-p", dll])
    table = listing.split("[Ordinal/Name Pointer] Table", 1)
    assert len(table) == 2, f"no export name table in {dll}"
    names = []
    for line in table[1].splitlines()[1:]:
        match = re.match(r"\s*\[\s*\d+\]\s+(\S+)\s*$", line)
        if not match:
            break
        names.append(match.group(1))
    assert names, f"no exported names read from {dll}"
    return names


@needs_mcs
@pytest.mark.parametrize("arch", DLL_BUILDS)
def test_imports_are_exactly_the_unity_exports_of_the_dll(arch, imports, header_functions):
    exports = dll_exports(*DLL_BUILDS[arch])
    # Every export that mentions Unity, so that a decorated form (_UnitySetHost, UnitySetHost@4)
    # in place of the plain name shows up here.
    unity_exports = sorted(name for name in exports if "unity" in name.lower())
    assert unity_exports == sorted(imports)
    assert unity_exports == sorted(header_functions)


# --- behaviour under Mono -----------------------------------------------------------------------

# Arguments travel to the program as "n" (null), "s:" and the UTF-16 code units in hex, "i:" or
# "u:" and a decimal int or uint, "b:true" or "b:false", or "d" (the parameter's default), so
# that any string, unpaired surrogates included, crosses argv intact.
# "encode ARG..." prints the bytes NativeText.ToUtf8z returns for each, in hex, or "null".
# "call Method|ARG|ARG... ..." calls each public method of MirtoAnalytics with the arguments and
# prints "=> " and the result of those that have one; a "quit" among them quits as the game would
# (Application.Quit in a Unity build) and ends the program.
# "layout" prints each DeliveryStats field's name, type, marshalled offset and size, then
# "sizeof" and the marshalled size of the struct.
# Among the calls, for the library's lines: "log" as an argument is a callback that prints
# "=> logged " and the line (escaped as the stand-in Debug does); "emit:HEX" and
# "emit-thread:HEX" make the stand-in hand the UTF-8 bytes HEX to the callback it was given, on
# this thread or on a native thread of its own; "gc" collects garbage; "shape" prints what
# reflection says of the callback: "field" (static, readonly) for each field of the program's
# own (not the compiler's) holding the delegate type UnitySetLogCallback takes, "method" and each "attribute" of the method behind
# it, "pointer kept" when the stand-in holds that delegate's function pointer, and "delegate"
# with its calling convention, result and parameter types.
# "domain CALL..." makes the calls in a domain of its own, unloads it, then emits a line.
DRIVER_SOURCE = r"""
using System;
using System.Globalization;
using System.Reflection;
using System.Runtime.CompilerServices;
using System.Runtime.InteropServices;
using System.Text;

namespace Mirto.Checks
{
    internal static class Driver
    {
        private static object Decode(string argument)
        {
            if (argument == "n")
            {
                return null;
            }
            if (argument == "d")
            {
                return Type.Missing;
            }
            if (argument == "log")
            {
                return new Action<string>(line =>
                {
                    Console.WriteLine("=> logged " + Escape(line));
                    Console.Out.Flush();
                });
            }
            if (argument.StartsWith("i:", StringComparison.Ordinal))
            {
                return int.Parse(argument.Substring(2), CultureInfo.InvariantCulture);
            }
            if (argument.StartsWith("u:", StringComparison.Ordinal))
            {
                return uint.Parse(argument.Substring(2), CultureInfo.InvariantCulture);
            }
            if (argument.StartsWith("b:", StringComparison.Ordinal))
            {
                return argument == "b:true";
            }
            if (!argument.StartsWith("s:", StringComparison.Ordinal) || argument.Length % 4 != 2)
            {
                throw new ArgumentException("cannot decode " + argument);
            }
            var text = new StringBuilder();
            for (var i = 2; i < argument.Length; i += 4)
            {
                text.Append((char)int.Parse(argument.Substring(i, 4), NumberStyles.AllowHexSpecifier,
                                            CultureInfo.InvariantCulture));
            }
            return text.ToString();
        }

        private static FieldInfo[] Fields(Type type)
        {
            var fields = type.GetFields(
                BindingFlags.Public | BindingFlags.NonPublic | BindingFlags.Instance);
            Array.Sort(fields, (a, b) => a.MetadataToken.CompareTo(b.MetadataToken));
            return fields;
        }

        private static string Show(object value)
        {
            if (value is bool)
            {
                return (bool)value ? "true" : "false";
            }
            var text = new StringBuilder();
            foreach (var field in Fields(value.GetType()))
            {
                text.Append(text.Length == 0 ? "" : " ").Append(field.Name).Append('=')
                    .Append(Convert.ToString(field.GetValue(value), CultureInfo.InvariantCulture));
            }
            return text.ToString();
        }

        [DllImport("mirto")]
        private static extern void RecorderEmit(byte[] line, int onThread);

        [DllImport("mirto")]
        private static extern IntPtr RecorderCallback();

        private static string Escape(string line)
        {
            var text = new StringBuilder();
            foreach (var c in line)
            {
                text.Append(c >= ' ' && c < 127 ? c.ToString() : "\\u" + ((int)c).ToString("x4"));
            }
            return text.ToString();
        }

        private static byte[] Bytes(string hex)
        {
            var bytes = new byte[hex.Length / 2 + 1];  // and the NUL
            for (var i = 0; i + 1 < hex.Length; i += 2)
            {
                bytes[i / 2] = byte.Parse(hex.Substring(i, 2), NumberStyles.AllowHexSpecifier,
                                          CultureInfo.InvariantCulture);
            }
            return bytes;
        }

        private static void PrintShape()
        {
            var assembly = typeof(MirtoAnalytics).Assembly;
            var callbackType = assembly.GetType("Mirto.NativeMethods", true).GetMethod(
                "UnitySetLogCallback", BindingFlags.NonPublic | BindingFlags.Static)
                .GetParameters()[0].ParameterType;
            foreach (var type in assembly.GetTypes())
            {
                foreach (var field in type.GetFields(BindingFlags.Public | BindingFlags.NonPublic |
                                                     BindingFlags.Static | BindingFlags.Instance))
                {
                    // The compiler's own caches of a method group's delegate are not kept.
                    if (field.FieldType != callbackType || field.Name.StartsWith("<") ||
                        field.IsDefined(typeof(CompilerGeneratedAttribute), false))
                    {
                        continue;
                    }
                    Console.WriteLine("field " + (field.IsStatic ? "static" : "instance") +
                                      (field.IsInitOnly ? " readonly" : ""));
                    var kept = field.IsStatic ? (Delegate)field.GetValue(null) : null;
                    if (kept == null)
                    {
                        continue;
                    }
                    Console.WriteLine("method " + (kept.Method.IsStatic ? "static" : "instance"));
                    foreach (var attribute in kept.Method.GetCustomAttributesData())
                    {
                        var arguments = attribute.ConstructorArguments;
                        Console.WriteLine("attribute " + attribute.Constructor.DeclaringType.FullName +
                                          (arguments.Count == 1 && arguments[0].Value is Type
                                               ? " " + ((Type)arguments[0].Value).FullName : ""));
                    }
                    if (Marshal.GetFunctionPointerForDelegate(kept) == RecorderCallback())
                    {
                        Console.WriteLine("pointer kept");
                    }
                }
            }
            var convention = (UnmanagedFunctionPointerAttribute)Attribute.GetCustomAttribute(
                callbackType, typeof(UnmanagedFunctionPointerAttribute));
            var invoke = callbackType.GetMethod("Invoke");
            var parameters = new StringBuilder();
            foreach (var parameter in invoke.GetParameters())
            {
                parameters.Append(" ").Append(parameter.ParameterType.FullName).Append(" ")
                    .Append(parameter.Name);
            }
            Console.WriteLine("delegate " + (convention == null ? "none" : convention.CallingConvention.ToString()) +
                              " " + invoke.ReturnType.FullName + parameters);
        }

        // True when the call was one of the commands for the library's lines.
        private static bool RunLineCommand(string command)
        {
            if (command.StartsWith("emit:", StringComparison.Ordinal) ||
                command.StartsWith("emit-thread:", StringComparison.Ordinal))
            {
                var colon = command.IndexOf(':');
                RecorderEmit(Bytes(command.Substring(colon + 1)), command[4] == '-' ? 1 : 0);
            }
            else if (command == "gc")
            {
                GC.Collect();
                GC.WaitForPendingFinalizers();
                GC.Collect();
            }
            else if (command == "shape")
            {
                PrintShape();
            }
#if UNITY_5_3_OR_NEWER
            else if (command == "quitting")
            {
                UnityEngine.Application.Quit();  // as the game quits, calls going on after it
            }
            else if (command == "play")
            {
                // As the editor's next play mode.
                typeof(MirtoAnalytics).Assembly.GetType("Mirto.LogRouting")
                    .GetMethod("PlayStarts", BindingFlags.NonPublic | BindingFlags.Static)
                    .Invoke(null, null);
            }
#endif
            else
            {
                return false;
            }
            Console.Out.Flush();
            return true;
        }

        private static int Main(string[] args)
        {
            if (args.Length > 0 && args[0] == "domain")
            {
                var domain = AppDomain.CreateDomain("game scripts");
                var calls = new string[args.Length];
                Array.Copy(args, calls, args.Length);
                calls[0] = "call";
                domain.ExecuteAssembly(Assembly.GetExecutingAssembly().Location, calls);
                AppDomain.Unload(domain);
                RecorderEmit(Bytes("4d6972746f3a206166746572"), 0);  // "Mirto: after"
                return 0;
            }
            if (args.Length > 0 && args[0] == "layout")
            {
                foreach (var field in Fields(typeof(DeliveryStats)))
                {
                    Console.WriteLine("{0} {1} {2} {3}", field.Name, field.FieldType.FullName,
                                      Marshal.OffsetOf(typeof(DeliveryStats), field.Name),
                                      Marshal.SizeOf(field.FieldType));
                }
                Console.WriteLine("sizeof {0}", Marshal.SizeOf(typeof(DeliveryStats)));
                return 0;
            }
            if (args.Length > 0 && args[0] == "encode")
            {
                for (var i = 1; i < args.Length; ++i)
                {
                    var bytes = NativeText.ToUtf8z((string)Decode(args[i]));
                    Console.WriteLine(bytes == null
                        ? "null" : BitConverter.ToString(bytes).Replace("-", "").ToLowerInvariant());
                }
                return 0;
            }
            if (args.Length > 0 && args[0] == "call")
            {
                for (var i = 1; i < args.Length; ++i)
                {
                    if (args[i] == "quit")
                    {
#if UNITY_5_3_OR_NEWER
                        UnityEngine.Application.Quit();
#endif
                        return 0;
                    }
                    if (RunLineCommand(args[i]))
                    {
                        continue;
                    }
                    var parts = args[i].Split('|');
                    var method = typeof(MirtoAnalytics).GetMethod(
                        parts[0], BindingFlags.Public | BindingFlags.Static);
                    var arguments = new object[parts.Length - 1];
                    for (var j = 1; j < parts.Length; ++j)
                    {
                        arguments[j - 1] = Decode(parts[j]);
                    }
                    var result = method.Invoke(null, arguments);
                    if (method.ReturnType != typeof(void))
                    {
                        Console.WriteLine("=> " + Show(result));
                    }
                    Console.Out.Flush();
                }
                return 0;
            }
            Console.Error.WriteLine("usage: driver encode ARG... | driver call CALL...");
            return 2;
        }
    }
}
"""

# Stands in for mirto.dll: built from the public header, so its definitions must agree with the
# declarations, and prints one line per call with the text bytes up to the NUL in hex.
RECORDER_SOURCE = r"""
#include <pthread.h>
#include <stdio.h>

#include "mirto/mirto.h"

static void Text(const char* text) {
    if (text == NULL) {
        fputs(" null", stdout);
        return;
    }
    fputs(" s:", stdout);
    for (const unsigned char* p = (const unsigned char*)text; *p != 0; ++p) {
        printf("%02x", *p);
    }
}

static void Integer(int value) { printf(" i:%d", value); }

static void Unsigned(unsigned int value) { printf(" u:%u", value); }

static void End(void) {
    putchar('\n');
    fflush(stdout);
}

void UnitySetHost(const char* host) {
    fputs("UnitySetHost", stdout);
    Text(host);
    End();
}

void UnityOnStart(const char* application_id, const char* channel, const char* game_version) {
    fputs("UnityOnStart", stdout);
    Text(application_id);
    Text(channel);
    Text(game_version);
    End();
}

void UnitySetUser(const char* user_id, const char* user_name) {
    fputs("UnitySetUser", stdout);
    Text(user_id);
    Text(user_name);
    End();
}

void UnitySetLevel(int level) {
    fputs("UnitySetLevel", stdout);
    Integer(level);
    End();
}

void UnitySetServer(const char* server) {
    fputs("UnitySetServer", stdout);
    Text(server);
    End();
}

void UnityOnCharge(const char* order_id, const char* product, int amount, const char* currency_type,
                   int virtual_currency_amount, const char* payment) {
    fputs("UnityOnCharge", stdout);
    Text(order_id);
    Text(product);
    Integer(amount);
    Text(currency_type);
    Integer(virtual_currency_amount);
    Text(payment);
    End();
}

void UnitySetOutbox(int enabled) {
    fputs("UnitySetOutbox", stdout);
    Integer(enabled);
    End();
}

/* 0, 1 or 2, so that a result other than 1 that is not 0 is seen as well. */
int UnityFlush(unsigned int timeout_ms) {
    fputs("UnityFlush", stdout);
    Unsigned(timeout_ms);
    End();
    return (int)(timeout_ms % 3);
}

/* Prints the size the caller set, then fills as many bytes as both sides know with byte k = the
 * low 8 bits of 7 * k + 1, and sets size to that count, as the library does. */
void UnityGetDeliveryStats(MirtoDeliveryStats* stats) {
    unsigned int size = stats->size < sizeof *stats ? stats->size : (unsigned int)sizeof *stats;
    fputs("UnityGetDeliveryStats", stdout);
    printf(" size:%u", stats->size);
    End();
    for (unsigned int k = 0; k < size; ++k) {
        ((unsigned char*)stats)[k] = (unsigned char)(7 * k + 1);
    }
    stats->size = size;
}

static MirtoLogCallback log_callback;
static void* log_context;

void UnitySetLogCallback(MirtoLogCallback callback, void* context) {
    fputs("UnitySetLogCallback", stdout);
    printf(" fn:%s ctx:%s", callback == NULL ? "null" : "set", context == NULL ? "null" : "set");
    End();
    log_callback = callback;
    log_context = context;
}

/* Not in the header: what the driver uses to play the library's part for the callback. */
void* RecorderCallback(void) { return (void*)log_callback; }

static void* EmitOnThread(void* line) {
    log_callback((const char*)line, log_context);
    return NULL;
}

/* Hands `line` to the callback as the library does: on this thread (a refusal) or on another
 * native thread (the worker). */
void RecorderEmit(const char* line, int on_thread) {
    pthread_t thread;
    if (log_callback == NULL) {
        printf("RecorderEmit without a callback: %s", line);
        End();
    } else if (!on_thread) {
        log_callback(line, log_context);
    } else if (pthread_create(&thread, NULL, EmitOnThread, (void*)line) == 0) {
        pthread_join(thread, NULL);
    }
}

void UnitySetConsentRequired(int required) {
    fputs("UnitySetConsentRequired", stdout);
    Integer(required);
    End();
}

void UnitySetConsent(int granted) {
    fputs("UnitySetConsent", stdout);
    Integer(granted);
    End();
}

/* As UnityFlush: 0, 1 or 2. */
int UnityDeleteLocalData(unsigned int timeout_ms) {
    fputs("UnityDeleteLocalData", stdout);
    Unsigned(timeout_ms);
    End();
    return (int)(timeout_ms % 3);
}

/* 0, 1 or 2, shifted from UnityFlush's, so that the results of the two are told apart. */
int UnityShutdown(unsigned int timeout_ms) {
    fputs("UnityShutdown", stdout);
    Unsigned(timeout_ms);
    End();
    return (int)((timeout_ms + 1) % 3);
}
"""


class Unsigned(int):
    """An argument the driver passes as a uint."""


def encode_argument(value):
    if value is None:
        return "n"
    if isinstance(value, bool):
        return "b:true" if value else "b:false"
    if isinstance(value, Unsigned):
        return f"u:{value}"
    if isinstance(value, int):
        return f"i:{value}"
    return "s:" + value.encode("utf-16-be", "surrogatepass").hex()


def expected_utf8(text):
    """What .NET's Encoding.UTF8 makes of text: UTF-8, with U+FFFD for an unpaired surrogate."""
    well_formed = text.encode("utf-16-le", "surrogatepass").decode("utf-16-le", "replace")
    return well_formed.encode("utf-8")


@pytest.fixture(scope="session")
def recorder(build_dir):
    compiler = shutil.which("cc") or require("gcc", "gcc")
    (build_dir / "recorder.c").write_text(RECORDER_SOURCE)
    library = build_dir / "native" / "libmirto.so"
    library.parent.mkdir()
    run([compiler, "-std=c99", "-Wall", "-Wextra", "-Werror", "-shared", "-fPIC", "-pthread", "-I",
         INCLUDE, build_dir / "recorder.c", "-o", library])
    return library


def driver(build_dir, defines):
    source = build_dir / "Driver.cs"
    if not source.exists():
        source.write_text(DRIVER_SOURCE)
    stem = "driver-" + ("-".join(defines) or "plain")
    return compile_csharp(SOURCES + [source], build_dir / f"{stem}.exe", "exe", defines)


def run_driver(program, arguments, library_dir=None):
    # In the C locale Mono's default code page is ASCII, so text that went through the
    # process's code page (as Windows' ANSI conversion does) would lose every non-ASCII
    # character and show up here.
    env = dict(os.environ, LC_ALL="C")
    if library_dir is not None:
        env["LD_LIBRARY_PATH"] = os.pathsep.join(
            filter(None, [str(library_dir), env.get("LD_LIBRARY_PATH")]))
    return run([require("mono", "mono-runtime"), program] + list(arguments), env=env)


TEXTS = ["", None, "é", "表", "\U0001F600", "Level 7 · é表\U0001F600 ok", "\ud83d", "x\udc00y",
         "é" * 128, "a\0b"]


@needs_mcs
def test_text_is_utf8_with_one_terminating_nul(build_dir):
    program = driver(build_dir, ())
    output = run_driver(program, ["encode"] + [encode_argument(t) for t in TEXTS]).splitlines()
    expected = ["null" if t is None else (expected_utf8(t) + b"\0").hex() for t in TEXTS]
    assert output == expected


CALLS = [
    ("SetHost", ["collect.example.com"]),
    ("SetOutbox", [True]),
    ("SetOutbox", [False]),
    ("OnStart", ["app-1", "chan", "1.2.3"]),
    ("OnStart", ["游戏", None, ""]),
    ("SetUser", ["u9", "名前 \U0001F600"]),
    ("SetUser", ["", None]),
    ("SetLevel", [7]),
    ("SetLevel", [-1]),
    ("SetLevel", [2**31 - 1]),
    ("SetServer", ["s-é"]),
    ("OnCharge", ["order-1", "gem", 600, "USD", 60, "card"]),
    ("OnCharge", [None, None, 1, None, 0, None]),
    ("OnCharge", ["o", "p", -2**31, "c", -5, "\ud800"]),
    # The stand-in answers timeout % 3: 2, 1 and 0.
    ("Flush", [Unsigned(500)]),
    ("Flush", [Unsigned(7)]),
    ("Flush", [Unsigned(2**32 - 1)]),
    ("GetDeliveryStats", []),
    ("SetConsentRequired", [True]),
    ("SetConsentRequired", [False]),
    ("SetConsent", [False]),
    ("SetConsent", [True]),
    # As Flush: 1, 0 and 2 from the stand-in.
    ("DeleteLocalData", [Unsigned(1000)]),
    ("DeleteLocalData", [Unsigned(0)]),
    ("DeleteLocalData", [Unsigned(2)]),
    # The stand-in answers (timeout + 1) % 3: 1, 0 and 2.
    ("Shutdown", [Unsigned(300)]),
    ("Shutdown", [Unsigned(2)]),
    ("Shutdown", [Unsigned(1)]),
]


def call_argument(name, arguments):
    return "|".join([name] + [encode_argument(a) for a in arguments])


def stats_line(fields, values):
    return "=> " + " ".join(f"{pascal_case(f.name)}={v}" for f, v in zip(fields, values))


def expected_lines(name, arguments, struct):
    """What the stand-in prints for one call, then what the driver prints of its result."""
    fields, size = struct
    record = ["Unity" + name]
    for value in arguments:
        if value is None:
            record.append("null")
        elif isinstance(value, bool):
            record.append(f"i:{int(value)}")
        elif isinstance(value, Unsigned):
            record.append(f"u:{value}")
        elif isinstance(value, int):
            record.append(f"i:{value}")
        else:
            record.append("s:" + expected_utf8(value).hex())
    if name == "GetDeliveryStats":
        # The binding asks for the whole struct; the stand-in's byte pattern shows where each
        # field was read from, and it sets size to the bytes it filled.
        pattern = bytes((7 * k + 1) & 0xFF for k in range(size))
        values = [int.from_bytes(pattern[f.offset:f.offset + f.size], "little") for f in fields]
        values[0] = size
        return [f"UnityGetDeliveryStats size:{size}", stats_line(fields, values)]
    if name in ("Flush", "DeleteLocalData"):
        return [" ".join(record), "=> " + ("true" if arguments[0] % 3 else "false")]
    if name == "Shutdown":
        return [" ".join(record), "=> " + ("true" if (arguments[0] + 1) % 3 else "false")]
    return [" ".join(record)]


# Native functions that no public method forwards to: the binding calls them itself
# (test_log_routing.py checks the log callback).
OWN_USE = {"UnitySetLogCallback"}
# The line the stand-in prints when the binding hands it its log callback, before the first
# call that can make the library write a line.
ROUTED = "UnitySetLogCallback fn:set ctx:null"


def test_every_call_of_the_test_reaches_all_methods(header_functions):
    assert sorted({name for name, _ in CALLS}) == sorted(
        n[len("Unity"):] for n in header_functions if n not in OWN_USE)


CALLING_BUILDS = {k: v for k, v in DEFINE_SETS.items() if k not in SILENT_BUILDS}


@needs_mcs
@pytest.mark.parametrize("defines", CALLING_BUILDS.values(), ids=list(CALLING_BUILDS))
def test_each_method_hands_its_arguments_to_the_native_function(build_dir, recorder, defines,
                                                                header_struct):
    program = driver(build_dir, defines)
    calls = [call_argument(name, arguments) for name, arguments in CALLS]
    output = run_driver(program, ["call"] + calls, recorder.parent)
    expected = [ROUTED] + [line for name, arguments in CALLS
                           for line in expected_lines(name, arguments, header_struct)]
    if not defines:
        # SetOutbox(true) turned the flush at quit on; outside Unity the process's exit is the
        # quit (a Unity build waits for Application.quitting, which this run never raises).
        expected.append("UnityFlush u:500")
    assert output.splitlines() == expected


SILENT_CALLS = ([call_argument(name, arguments) for name, arguments in CALLS]
                + ["SetLogCallback|log", "FlushOnQuit|u:123", "quit"])


def silent_results(header_struct):
    """What the driver prints of SILENT_CALLS when nothing is called: Flush says everything
    went, and the counters are all zero."""
    results = []
    for name, _ in CALLS:
        if name in ("Flush", "DeleteLocalData", "Shutdown"):
            results.append("=> true")
        elif name == "GetDeliveryStats":
            results.append(stats_line(header_struct[0], [0] * len(header_struct[0])))
    return results


@needs_mcs
@pytest.mark.parametrize("build", SILENT_BUILDS)
def test_other_unity_platforms_call_nothing(build_dir, recorder, header_struct, build):
    # Neither the recorder nor mirto.dll may be touched: with LD_LIBRARY_PATH pointing at the
    # recorder, any call would print a line, and without a library any call would throw.
    program = driver(build_dir, DEFINE_SETS[build])
    results = silent_results(header_struct)
    assert run_driver(program, ["call"] + SILENT_CALLS, recorder.parent).splitlines() == results
    assert run_driver(program, ["call"] + SILENT_CALLS).splitlines() == results


@needs_mcs
@pytest.mark.parametrize("defines", CALLING_BUILDS.values(), ids=list(CALLING_BUILDS))
def test_a_process_that_cannot_load_the_library_calls_nothing_after_one_warning(
        build_dir, header_struct, defines):
    # No library on the path, as in a Windows player for Arm64 or with the DLL missing: no call
    # throws into the game, and the console says why once (outside Unity: the error stream).
    program = driver(build_dir, defines)
    warning = ["Debug.LogWarning Mirto: load failed, mirto.dll can not be used in this process "
               "(DllNotFoundException), analytics calls do nothing"] if defines else []
    assert run_driver(program, ["call"] + SILENT_CALLS).splitlines() == \
        warning + silent_results(header_struct)


# (calls before the game quits, the flush the quit makes: None for none)
QUIT_CASES = {
    "default-timeout": (["FlushOnQuit|d"], 500),
    "given-timeout": (["FlushOnQuit|u:123"], 123),
    "last-timeout-wins": (["FlushOnQuit|u:100", "FlushOnQuit|u:250"], 250),
    "turned-off": (["FlushOnQuit|u:100", "FlushOnQuit|u:0"], None),
    "turned-on-again": (["FlushOnQuit|u:100", "FlushOnQuit|u:0", "FlushOnQuit|u:40"], 40),
    "never-asked": ([], None),
    "outbox-turns-it-on": (["SetOutbox|b:true"], 500),
    "outbox-off-leaves-it-off": (["SetOutbox|b:false"], None),
    "chosen-before-outbox-stays": (["FlushOnQuit|u:0", "SetOutbox|b:true"], None),
    "chosen-after-outbox-wins": (["SetOutbox|b:true", "FlushOnQuit|u:77"], 77),
}


@needs_mcs
@pytest.mark.parametrize("defines", CALLING_BUILDS.values(), ids=list(CALLING_BUILDS))
@pytest.mark.parametrize("case", QUIT_CASES.values(), ids=list(QUIT_CASES))
def test_flush_on_quit_flushes_once_when_the_game_quits(build_dir, recorder, defines, case):
    calls, timeout = case
    program = driver(build_dir, defines)
    output = run_driver(program, ["call"] + calls + ["SetLevel|i:3", "quit"], recorder.parent)
    # Once, after everything the game did, and not again when the process ends.
    lines = [x for x in output.splitlines()
             if not x.startswith(("UnitySetOutbox", "UnitySetLogCallback"))]
    assert lines == ["UnitySetLevel i:3"] + (
        [] if timeout is None else [f"UnityFlush u:{timeout}"])


@needs_mcs
def test_flush_on_quit_in_unity_waits_for_the_quitting_event(build_dir, recorder):
    # A Unity player's process may end without it, for example when the editor leaves play mode
    # (then Application.quitting is raised, here it is not): the flush hangs on the event alone.
    program = driver(build_dir, UNITY_WINDOWS_PLAYER)
    output = run_driver(program, ["call", "FlushOnQuit|u:123", "SetLevel|i:3"], recorder.parent)
    assert output.splitlines() == [ROUTED, "UnitySetLevel i:3"]
