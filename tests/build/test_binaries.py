"""Checks of the built mirto.dll, its two import libraries and an MSVC-ABI caller.

The build folders come from MIRTO_BUILD_X64 and MIRTO_BUILD_X86 (default: build/windows-x64
and build/windows-x86); a folder without the expected files fails. The caller runs under Wine
for both architectures (x86 through WoW64; skipped, as tests/conftest.py says, only where the
machine does not execute 32-bit code).

Nothing here trusts a list of names: the functions are read from the public header (clang's
AST), and the names a game would link against are whatever clang (MSVC ABI) and mingw g++
emit for calls through that header. The DLL, mirto.lib and libmirto.dll.a must match those.
"""

import json
import os
import re
import shutil
import struct
import subprocess
from dataclasses import dataclass, field
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
INCLUDE = ROOT / "include"
HEADER = INCLUDE / "mirto" / "mirto.h"

# Windows' own DLLs; anything else (a compiler runtime above all) would have to ship with the
# game and is a packaging fault.
SYSTEM_DLLS = {
    "kernel32.dll", "user32.dll", "shell32.dll", "wininet.dll", "version.dll", "bcrypt.dll",
    "advapi32.dll", "msvcrt.dll", "ntdll.dll", "ws2_32.dll", "crypt32.dll", "ole32.dll",
}

EXPECTED_DEBUG_LINES = (
    "Mirto: SetHost failed, params error\r\n"
    "Mirto: SetLevel failed, operation queue init failed\r\n"
)

WINE64 = Path("/usr/lib/wine/wine64")


@dataclass(frozen=True)
class Arch:
    name: str
    env: str
    msvc_triple: str
    mingw_prefix: str
    coff_machine: int
    dlltool_machine: str
    lld_machine: str
    # cdecl C names carry a leading underscore in 32-bit COFF symbols, not in the export table.
    coff_underscore: bool


ARCHES = {
    "x64": Arch("x64", "MIRTO_BUILD_X64", "x86_64-pc-windows-msvc", "x86_64-w64-mingw32",
                0x8664, "i386:x86-64", "x64", False),
    "x86": Arch("x86", "MIRTO_BUILD_X86", "i686-pc-windows-msvc", "i686-w64-mingw32",
                0x014C, "i386", "x86", True),
}


@dataclass
class HeaderFunction:
    qualified: str  # as written in C++, e.g. "mirto::SetHost"
    namespace: tuple
    name: str
    return_type: str
    parameters: list


@dataclass
class Target:
    arch: Arch
    build: Path
    functions: list
    # Per header function (same order): the symbol a call references and the name the DLL
    # must export for it, for each compiler.
    msvc_symbols: list = field(default_factory=list)
    msvc_exports: list = field(default_factory=list)
    mingw_symbols: list = field(default_factory=list)
    mingw_exports: list = field(default_factory=list)
    exports: dict = field(default_factory=dict)  # name -> RVA
    imports: dict = field(default_factory=dict)  # lower-case DLL name -> [names]

    def file(self, name):
        path = self.build / name
        if not path.is_file():
            pytest.fail(f"{self.arch.env} is set, but {path} does not exist")
        return path


def run(args, **kwargs):
    result = subprocess.run([str(a) for a in args], capture_output=True, text=True,
                            timeout=kwargs.pop("timeout", 120), **kwargs)
    assert result.returncode == 0, (
        f"{' '.join(map(str, args))} exited {result.returncode}\n{result.stdout}\n{result.stderr}")
    return result.stdout


# --- reading the header ---------------------------------------------------------------------

@pytest.fixture(scope="session")
def header_functions():
    dump = run(["clang++", "-x", "c++", "-std=c++17", "--target=x86_64-pc-windows-msvc",
                "-fsyntax-only", "-Xclang", "-ast-dump=json", "-I", INCLUDE, HEADER])
    functions = []

    def walk(node, namespace):
        kind = node.get("kind")
        if kind == "FunctionDecl" and not node.get("isImplicit"):
            params = [p["type"]["qualType"] for p in node.get("inner", [])
                      if p.get("kind") == "ParmVarDecl"]
            functions.append(HeaderFunction(
                "::".join(namespace + (node["name"],)), namespace, node["name"],
                node["type"]["qualType"].split(" (", 1)[0], params))
        # A function pointer type's name (MirtoLogCallback) is replaced too; a struct's keeps
        # its name, which the decorated names carry.
        if kind == "TypeAliasDecl" or (kind == "TypedefDecl" and not node.get("isImplicit")
                                       and "(*)" in node["type"]["qualType"]):
            aliases["::".join(namespace + (node["name"],))] = \
                node["type"]["qualType"].lstrip(":")
        if kind == "NamespaceDecl":
            namespace = namespace + (node["name"],)
        for child in node.get("inner", []):
            walk(child, namespace)

    aliases = {}
    walk(json.loads(dump), ())
    assert functions, "no function declarations found in the public header"
    # An alias (mirto::DeliveryStats) is taken for what it names, as decorated names carry that.
    for function in functions:
        for alias, named in aliases.items():
            function.parameters[:] = [re.sub(r"\b%s\b" % re.escape(alias), named, p)
                                      for p in function.parameters]
    return functions


def msvc_spelling(c_type):
    """A parameter type as the MSVC demangler writes it: "wchar_t const *" for clang's
    "const wchar_t *", a struct with its keyword, and a cdecl function pointer as
    "void (__cdecl *)(char const *, void *)"."""
    pointer = re.fullmatch(r"(.+?) \(\*\)\((.*)\) __attribute__\(\(cdecl\)\)", c_type)
    if pointer:
        inner = ", ".join(msvc_spelling(p.strip()) for p in pointer.group(2).split(","))
        return f"{pointer.group(1)} (__cdecl *)({inner})"
    c_type = re.sub(r"^const (.+) \*$", r"\1 const *", c_type)
    return re.sub(r"^(Mirto\w+) \*$", r"struct \1 *", c_type)


# --- what compilers make of the header --------------------------------------------------------

def caller_symbols(compiler_args, functions, workdir, stem):
    """Compiles one small function per header function, each calling it through the header,
    and returns for each the one __imp_ symbol its body references."""
    source = workdir / f"{stem}.cpp"
    lines = ['#include "mirto/mirto.h"', ""]
    for index, function in enumerate(functions):
        arguments = ", ".join("{}" for _ in function.parameters)
        lines.append(f'extern "C" void mirto_use_{index}() {{ {function.qualified}({arguments}); }}')
    source.write_text("\n".join(lines) + "\n")
    assembly = workdir / f"{stem}.s"
    run(compiler_args + ["-std=c++17", "-O0", "-S", "-I", INCLUDE, source, "-o", assembly])

    found = {}
    current = None
    for line in assembly.read_text().splitlines():
        label = re.match(r"^_?mirto_use_(\d+):", line)
        if label:
            current = int(label.group(1))
            continue
        for symbol in re.findall(r'__imp_[^\s"(),+]+', line):
            if current is not None:
                found.setdefault(current, set()).add(symbol)
    symbols = []
    for index, function in enumerate(functions):
        referenced = found.get(index, set())
        assert len(referenced) == 1, (
            f"{stem}: a call of {function.qualified} should reference one imported symbol, "
            f"saw {sorted(referenced)}")
        symbols.append(referenced.pop())
    return symbols


def export_name(arch, imp_symbol):
    name = imp_symbol[len("__imp_"):]
    if arch.coff_underscore and name.startswith("_"):
        name = name[1:]
    return name


# --- reading PE files with objdump -----------------------------------------------------------

def objdump_tables(arch, path):
    text = run([f"{arch.mingw_prefix}-objdump", "-p", path])
    address_table = {}
    for index, rva in re.findall(r"^\s*\[\s*(\d+)\] \+base\[\s*\d+\] ([0-9a-fA-F]+) Export RVA",
                                 text, re.M):
        address_table[int(index)] = int(rva, 16)
    exports = {}
    names = text.split("[Ordinal/Name Pointer] Table", 1)
    if len(names) == 2:
        for line in names[1].splitlines()[1:]:
            entry = re.match(r"^\s*\[\s*(\d+)\] (\S+)$", line)
            if not entry:
                break
            exports[entry.group(2)] = address_table.get(int(entry.group(1)))

    imports = {}
    for block in re.split(r"^\s*DLL Name: ", text, flags=re.M)[1:]:
        dll, *rest = block.splitlines()
        members = []
        for line in rest[1:]:  # after the "vma: Hint/Ord Member-Name" heading
            entry = re.match(r"^\s*[0-9a-fA-F]+\s+\d+\s+(\S+)", line)
            if not entry:
                break
            members.append(entry.group(1))
        imports.setdefault(dll.strip().lower(), []).extend(members)
    return exports, imports


# --- reading import libraries ----------------------------------------------------------------

@dataclass
class ImportMember:
    machine: int
    symbol: str
    dll: str
    name_type: int

    @property
    def import_name(self):
        # The loader looks up the name derived from the symbol by the name type.
        name = self.symbol
        if self.name_type in (2, 3) and name[:1] in ("?", "@", "_"):
            name = name[1:]
        if self.name_type == 3:
            name = name.split("@", 1)[0]
        return name


def archive_members(path):
    data = path.read_bytes()
    assert data.startswith(b"!<arch>\n"), f"{path} is not an archive"
    offset = 8
    while offset + 60 <= len(data):
        header = data[offset:offset + 60]
        name = header[:16].decode("ascii").strip()
        size = int(header[48:58].decode("ascii").strip())
        body = data[offset + 60:offset + 60 + size]
        if name not in ("/", "//", "/SYM64/"):
            yield body
        offset += 60 + size + (size & 1)


def read_import_library(path):
    """Returns (short import members, machines of the ordinary COFF members)."""
    imports, object_machines = [], []
    for body in archive_members(path):
        if body[:4] == b"\x00\x00\xff\xff":
            machine, = struct.unpack_from("<H", body, 6)
            kind, = struct.unpack_from("<H", body, 18)
            symbol, dll = body[20:].split(b"\x00")[:2]
            imports.append(ImportMember(machine, symbol.decode(), dll.decode(), (kind >> 2) & 7))
        else:
            object_machines.append(struct.unpack_from("<H", body, 0)[0])
    return imports, object_machines


def defined_symbols(path):
    out = run(["llvm-nm", "--defined-only", path])
    return {line.split()[-1] for line in out.splitlines() if re.match(r"^[0-9a-fA-F]+ \w ", line)}


# --- fixtures --------------------------------------------------------------------------------

@pytest.fixture(scope="module", params=sorted(ARCHES))
def target(request, header_functions, tmp_path_factory):
    arch = ARCHES[request.param]
    folder = os.environ.get(arch.env, str(ROOT / "build" / ("windows-" + arch.name)))
    result = Target(arch, Path(folder), header_functions)
    workdir = tmp_path_factory.mktemp(f"names-{arch.name}")
    result.msvc_symbols = caller_symbols(["clang++", f"--target={arch.msvc_triple}"],
                                         header_functions, workdir, "msvc")
    result.mingw_symbols = caller_symbols([f"{arch.mingw_prefix}-g++"],
                                          header_functions, workdir, "mingw")
    result.msvc_exports = [export_name(arch, s) for s in result.msvc_symbols]
    result.mingw_exports = [export_name(arch, s) for s in result.mingw_symbols]
    result.exports, result.imports = objdump_tables(arch, result.file("mirto.dll"))
    return result


def cpp_functions(target):
    return [i for i, f in enumerate(target.functions) if f.namespace]


def c_functions(target):
    return [i for i, f in enumerate(target.functions) if not f.namespace]


# --- the DLL's export and import tables ------------------------------------------------------

class TestExportTable:
    def test_header_has_cpp_and_c_functions(self, target):
        # Guards the derivation itself: with no functions found every check below would pass.
        assert cpp_functions(target) and c_functions(target)

    def test_msvc_names_are_exported(self, target):
        missing = [target.msvc_exports[i] for i in cpp_functions(target)
                   if target.msvc_exports[i] not in target.exports]
        assert not missing, f"MSVC-decorated names not exported: {missing}"

    def test_msvc_names_decode_to_the_cdecl_declarations(self, target):
        names = [target.msvc_exports[i] for i in cpp_functions(target)]
        assert all(n.startswith("?") for n in names), names
        out = run(["llvm-undname"] + names)
        decoded = dict(re.findall(r"^(\?\S+)\n(.+)$", out, re.M))
        for i in cpp_functions(target):
            function = target.functions[i]
            params = [msvc_spelling(p) for p in function.parameters]
            expected = (f"{function.return_type} __cdecl {function.qualified}"
                        f"({', '.join(params)})")
            assert decoded.get(target.msvc_exports[i]) == expected

    def test_mingw_names_are_exported(self, target):
        missing = [target.mingw_exports[i] for i in cpp_functions(target)
                   if target.mingw_exports[i] not in target.exports]
        assert not missing, f"mingw names not exported: {missing}"

    def test_c_functions_export_their_plain_names(self, target):
        for i in c_functions(target):
            name = target.functions[i].name
            assert target.msvc_exports[i] == target.mingw_exports[i] == name
            assert name in target.exports

    def test_nothing_else_is_exported(self, target):
        expected = set(target.msvc_exports) | set(target.mingw_exports)
        assert len(expected) == 2 * len(cpp_functions(target)) + len(c_functions(target))
        assert set(target.exports) == expected

    def test_msvc_alias_and_mingw_name_share_one_address(self, target):
        for i in cpp_functions(target):
            msvc, mingw = target.msvc_exports[i], target.mingw_exports[i]
            assert target.exports.get(msvc) is not None, f"{msvc} has no code address"
            assert target.exports[msvc] == target.exports.get(mingw), (
                f"{msvc} and {mingw} lead to different code")

    def test_each_function_has_its_own_address(self, target):
        # An alias pointing at the wrong function would still share an address with something.
        addresses = [target.exports.get(target.mingw_exports[i])
                     for i in range(len(target.functions))]
        assert None not in addresses
        assert len(set(addresses)) == len(addresses)


class TestImportTable:
    def test_imports_only_system_dlls(self, target):
        assert "kernel32.dll" in target.imports, f"import table not read: {target.imports}"
        foreign = sorted(set(target.imports) - SYSTEM_DLLS)
        assert not foreign, f"mirto.dll needs DLLs a game does not have: {foreign}"


# --- what runs at process exit ---------------------------------------------------------------

class TestProcessExit:
    def test_no_tls_callback_can_run_at_exit(self, target):
        # The loader calls a DLL's TLS callbacks at every notification, the exit's included,
        # whatever the entry point does; without a TLS directory there are none.
        headers = run([f"{target.arch.mingw_prefix}-objdump", "-p", target.file("mirto.dll")])
        entry = re.search(r"^Entry 9 ([0-9a-fA-F]+) ([0-9a-fA-F]+) Thread Storage Directory",
                          headers, re.M)
        assert entry, "no TLS entry in the data directory listing"
        assert int(entry.group(1), 16) == 0 and int(entry.group(2), 16) == 0, entry.group(0)
        sections = run([f"{target.arch.mingw_prefix}-objdump", "-h", target.file("mirto.dll")])
        names = re.findall(r"^\s*\d+\s+(\S+)", sections, re.M)
        assert ".text" in names, "section headers not read"
        assert ".tls" not in names


# --- import libraries ------------------------------------------------------------------------

class TestImportLibraries:
    def test_msvc_import_library_covers_every_export(self, target):
        members, machines = read_import_library(target.file("mirto.lib"))
        assert machines and all(m == target.arch.coff_machine for m in machines), (
            [hex(m) for m in machines])
        assert all(m.machine == target.arch.coff_machine for m in members), (
            [(m.symbol, hex(m.machine)) for m in members])
        assert {m.dll.lower() for m in members} == {"mirto.dll"}
        names = [m.import_name for m in members]
        assert len(names) == len(set(names)), f"duplicate import members: {sorted(names)}"
        assert set(names) == set(target.exports)

    def test_msvc_import_library_resolves_msvc_callers(self, target):
        members, _ = read_import_library(target.file("mirto.lib"))
        by_symbol = {"__imp_" + m.symbol: m.import_name for m in members}
        for symbol, name in zip(target.msvc_symbols, target.msvc_exports):
            assert by_symbol.get(symbol) == name, f"{symbol} should import {name}"

    def test_mingw_import_library_resolves_mingw_callers(self, target):
        path = target.file("libmirto.dll.a")
        _, machines = read_import_library(path)
        assert machines and all(m == target.arch.coff_machine for m in machines)
        missing = sorted(set(target.mingw_symbols) - defined_symbols(path))
        assert not missing, f"libmirto.dll.a lacks {missing}"


# --- an MSVC-ABI game in miniature ------------------------------------------------------------

CALLER_SOURCE = r"""
// A game built for the MSVC ABI with no C runtime: it declares the few kernel32 functions it
// needs itself. It references every function of the header, so the loader has to resolve
// each import, then makes two calls the library refuses and prints the debugger lines.
#include "mirto/mirto.h"

using ULongPtr = decltype(sizeof(0));
struct ExceptionRecord {
    unsigned long code;
    unsigned long flags;
    ExceptionRecord* inner;
    void* address;
    unsigned long parameter_count;
    ULongPtr information[15];
};
struct ExceptionPointers {
    ExceptionRecord* record;
    void* context;
};
using Handler = long(__stdcall*)(ExceptionPointers*);

extern "C" {
__declspec(dllimport) void* __stdcall AddVectoredExceptionHandler(unsigned long first,
                                                                  Handler handler);
__declspec(dllimport) void* __stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(void* file, const void* data, unsigned long size,
                                              unsigned long* written, void* overlapped);
__declspec(dllimport) __declspec(noreturn) void __stdcall ExitProcess(unsigned int code);
}

namespace {
char captured[4096];
unsigned long captured_size;

// OutputDebugStringA raises DBG_PRINTEXCEPTION_C: [0] is the length with the NUL, [1] the text.
long __stdcall CaptureDebugOutput(ExceptionPointers* pointers) {
    const ExceptionRecord* record = pointers->record;
    if (record->code != 0x40010006UL || record->parameter_count < 2) return 0;
    const ULongPtr length = record->information[0];
    const char* text = reinterpret_cast<const char*>(record->information[1]);
    for (ULongPtr i = 0; i + 1 < length && captured_size < sizeof captured; ++i)
        captured[captured_size++] = text[i];
    return -1;
}
}  // namespace

using Function = void (*)();
extern "C" void entry() {
    Function volatile every_function[] = {
@TABLE@
    };
    (void)every_function;
    AddVectoredExceptionHandler(1, CaptureDebugOutput);
    mirto::SetHost(L"");
    UnitySetLevel(-1);
    unsigned long written = 0;
    const int ok = WriteFile(GetStdHandle(static_cast<unsigned long>(-11)), captured,
                             captured_size, &written, nullptr);
    // 2 and 3 tell a failed write apart from a failure of Wine itself.
    ExitProcess(!ok ? 2u : written != captured_size ? 3u : 0u);
}
"""

# (x64 name, x86 name with its stdcall argument size)
KERNEL32_USED = [("AddVectoredExceptionHandler", 8), ("GetStdHandle", 4), ("WriteFile", 20),
                 ("ExitProcess", 4)]


@pytest.fixture(scope="module")
def msvc_caller(target, tmp_path_factory):
    arch = target.arch
    workdir = tmp_path_factory.mktemp(f"caller-{arch.name}")
    table = ",\n".join(f"        reinterpret_cast<Function>(&{f.qualified})"
                       for f in target.functions)
    source = workdir / "caller.cpp"
    source.write_text(CALLER_SOURCE.replace("@TABLE@", table))
    run(["clang++", f"--target={arch.msvc_triple}", "-std=c++17", "-ffreestanding",
         "-fno-exceptions", "-I", INCLUDE, "-c", source, "-o", workdir / "caller.obj"])

    kernel32_def = workdir / "kernel32.def"
    exports = [f"{n}@{size}" if arch.coff_underscore else n for n, size in KERNEL32_USED]
    kernel32_def.write_text("LIBRARY kernel32.dll\nEXPORTS\n" + "\n".join(exports) + "\n")
    run(["llvm-dlltool", "-m", arch.dlltool_machine, "-d", kernel32_def,
         "-l", workdir / "kernel32.lib"] + (["-k"] if arch.coff_underscore else []))

    exe = workdir / "caller.exe"
    link = ["lld-link", "/nologo", f"/machine:{arch.lld_machine}", "/entry:entry",
            "/subsystem:console", "/nodefaultlib", f"/out:{exe}", workdir / "caller.obj",
            target.file("mirto.lib"), workdir / "kernel32.lib"]
    if arch.name == "x86":
        link.append("/safeseh")  # a game linked with SafeSEH must accept mirto.lib
    run(link)
    shutil.copy2(target.file("mirto.dll"), workdir / "mirto.dll")
    return exe


class TestMsvcCaller:
    def test_caller_imports_the_msvc_names_the_dll_exports(self, target, msvc_caller):
        _, imports = objdump_tables(target.arch, msvc_caller)
        from_mirto = imports.get("mirto.dll", [])
        assert sorted(from_mirto) == sorted(target.msvc_exports)
        missing = [n for n in from_mirto if n not in target.exports]
        assert not missing, f"the caller imports names mirto.dll does not export: {missing}"

    @pytest.mark.runs_x86(True)
    def test_caller_runs_under_wine(self, target, msvc_caller):
        assert WINE64.exists(), f"{WINE64} is not installed (scripts/bootstrap.sh installs it)"
        env = {k: v for k, v in os.environ.items()
               if k.lower() not in ("http_proxy", "https_proxy", "no_proxy")}
        env.update(WINEPREFIX=os.environ.get("MIRTO_WINEPREFIX", str(ROOT / "build" / "windows-x64" / "wineprefix")),
                   WINEDLLOVERRIDES="mscoree,mshtml=", WINEDEBUG="-all", WINELOADER=str(WINE64))
        result = subprocess.run([str(WINE64), str(msvc_caller)], cwd=msvc_caller.parent, env=env,
                                capture_output=True, timeout=300)
        assert result.returncode == 0, (
            f"exit code {result.returncode}\nstdout: {result.stdout!r}\nstderr: {result.stderr!r}")
        assert result.stdout.decode("ascii") == EXPECTED_DEBUG_LINES
