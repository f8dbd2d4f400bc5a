"""Checks of the Unity C# binding (Runtime/MirtoAnalytics.cs).

- package.json carries the library's version; the assembly definition covers Runtime/.
- It compiles with mcs, warnings as errors and every public member documented, as it is and
  with the symbols a Unity build for Windows or for another platform defines.
- Its native imports, read from the compiled assembly with monodis, match the Unity* functions
  declared in the public header (clang's AST) and, when MIRTO_BUILD_X64 / MIRTO_BUILD_X86 name
  a build folder, the Unity* names that folder's mirto.dll exports: same names, parameter kinds,
  cdecl, library "mirto". Its public methods match the same declarations.
- Its text conversion gives UTF-8 plus one NUL, checked against Python's encoder.
- Each public method, run under Mono, reaches the native function of the same name with the
  expected bytes and integers in the expected order. mirto.dll cannot be loaded by Mono here
  (there is no Mono for Windows under Wine), so a small native library built from the public
  header stands in for it and prints what it receives.

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
DEFINE_SETS = {
    "plain": (),
    "unity-windows-player": UNITY_WINDOWS_PLAYER,
    "unity-windows-editor": UNITY_WINDOWS_EDITOR,
    "unity-other-platform": UNITY_OTHER_PLATFORM,
}

# C parameter type -> the IL types the managed declaration may use for it.
NATIVE_KINDS = {"const char *": {"unsigned int8[]", "native int"}, "int": {"int32"}}
# C parameter type -> the IL type of the public method's parameter.
MANAGED_KINDS = {"const char *": "string", "int": "int32"}


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


def compile_csharp(sources, output, target, defines=(), doc=None):
    args = [MCS, f"-target:{target}", "-warnaserror", "-warn:4", f"-out:{output}"]
    if defines:
        args.append("-define:" + ";".join(defines))
    if doc is not None:
        args.append(f"-doc:{doc}")
    run(args + [str(s) for s in sources])
    return output


def camel_case(snake):
    head, *rest = snake.split("_")
    return head + "".join(part.capitalize() for part in rest)


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
        assert function.result == "void", function
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


@pytest.mark.parametrize("folder", ["x86_64", "x86"])
def test_plugin_folders_exist_for_the_packaging_step(folder):
    assert (PACKAGE / "Plugins" / folder / "README.md").is_file()


# --- the compiled assembly ----------------------------------------------------------------------

@pytest.fixture(scope="session")
def build_dir(tmp_path_factory):
    return tmp_path_factory.mktemp("unity_binding")


@pytest.fixture(scope="session")
def assembly(build_dir):
    return compile_csharp([SOURCE], build_dir / "Mirto.Analytics.dll", "library",
                          doc=build_dir / "Mirto.Analytics.xml")


@needs_mcs
@pytest.mark.parametrize("defines", DEFINE_SETS.values(), ids=list(DEFINE_SETS))
def test_compiles_cleanly_with_every_public_member_documented(build_dir, defines):
    # -doc turns a missing or malformed XML comment on a public member into a warning, and
    # -warnaserror into a failure; the no-op form for other platforms must be clean as well.
    stem = "Mirto.Analytics." + ("-".join(defines) or "plain")
    output = compile_csharp([SOURCE], build_dir / f"{stem}.dll", "library", defines,
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
    r"\.method\s+(?P<flags>[^{]*?)\s+default\s+(?P<result>[^(\n]*?)\s+(?P<name>[\w.]+)\s*"
    r"\((?P<params>[^)]*)\)\s+cil managed")
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
        assert method.result == function.result, name
        assert len(method.parameters) == len(function.parameters), name
        for (il_type, il_name), (c_name, c_type) in zip(method.parameters, function.parameters):
            assert il_type in NATIVE_KINDS[c_type], f"{name}({c_name}): {il_type} for {c_type}"
            assert il_name == camel_case(c_name), f"{name}: {il_name} in place of {c_name}"


@needs_mcs
def test_public_methods_mirror_the_header(il_methods, header_functions):
    public = {m.name: m for m in il_methods
              if m.type_name == "Mirto.MirtoAnalytics" and "public" in m.flags.split()}
    assert sorted(public) == sorted(name[len("Unity"):] for name in header_functions)
    for name, function in header_functions.items():
        method = public[name[len("Unity"):]]
        assert "static" in method.flags.split(), name
        assert method.result == "void", name
        assert [(MANAGED_KINDS[c_type], camel_case(c_name))
                for c_name, c_type in function.parameters] == method.parameters, name


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

# Arguments travel to the program as "n" (null), "s:" and the UTF-16 code units in hex, or "i:"
# and a decimal integer, so that any string, unpaired surrogates included, crosses argv intact.
# "encode ARG..." prints the bytes NativeText.ToUtf8z returns for each, in hex, or "null".
# "call Method|ARG|ARG... ..." calls each public method of MirtoAnalytics with the arguments.
DRIVER_SOURCE = r"""
using System;
using System.Globalization;
using System.Reflection;
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
            if (argument.StartsWith("i:", StringComparison.Ordinal))
            {
                return int.Parse(argument.Substring(2), CultureInfo.InvariantCulture);
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

        private static int Main(string[] args)
        {
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
                    var parts = args[i].Split('|');
                    var method = typeof(MirtoAnalytics).GetMethod(
                        parts[0], BindingFlags.Public | BindingFlags.Static);
                    var arguments = new object[parts.Length - 1];
                    for (var j = 1; j < parts.Length; ++j)
                    {
                        arguments[j - 1] = Decode(parts[j]);
                    }
                    method.Invoke(null, arguments);
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
"""


def encode_argument(value):
    if value is None:
        return "n"
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
    run([compiler, "-std=c99", "-Wall", "-Wextra", "-Werror", "-shared", "-fPIC", "-I", INCLUDE,
         build_dir / "recorder.c", "-o", library])
    return library


def driver(build_dir, defines):
    source = build_dir / "Driver.cs"
    if not source.exists():
        source.write_text(DRIVER_SOURCE)
    stem = "driver-" + ("-".join(defines) or "plain")
    return compile_csharp([SOURCE, source], build_dir / f"{stem}.exe", "exe", defines)


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
]


def expected_record(name, arguments):
    fields = []
    for value in arguments:
        if value is None:
            fields.append("null")
        elif isinstance(value, int):
            fields.append(f"i:{value}")
        else:
            fields.append("s:" + expected_utf8(value).hex())
    return " ".join(["Unity" + name] + fields)


def test_every_call_of_the_test_reaches_all_methods(header_functions):
    assert sorted({name for name, _ in CALLS}) == sorted(n[len("Unity"):] for n in header_functions)


CALLING_BUILDS = {k: v for k, v in DEFINE_SETS.items() if k != "unity-other-platform"}


@needs_mcs
@pytest.mark.parametrize("defines", CALLING_BUILDS.values(), ids=list(CALLING_BUILDS))
def test_each_method_hands_its_arguments_to_the_native_function(build_dir, recorder, defines):
    program = driver(build_dir, defines)
    calls = ["|".join([name] + [encode_argument(a) for a in arguments]) for name, arguments in CALLS]
    output = run_driver(program, ["call"] + calls, recorder.parent)
    assert output.splitlines() == [expected_record(name, arguments) for name, arguments in CALLS]


@needs_mcs
def test_other_unity_platforms_call_nothing(build_dir, recorder):
    # Neither the recorder nor mirto.dll may be touched: with LD_LIBRARY_PATH pointing at the
    # recorder, any call would print a line, and without a library any call would throw.
    program = driver(build_dir, UNITY_OTHER_PLATFORM)
    calls = ["|".join([name] + [encode_argument(a) for a in arguments]) for name, arguments in CALLS]
    assert run_driver(program, ["call"] + calls, recorder.parent) == ""
    assert run_driver(program, ["call"] + calls) == ""
