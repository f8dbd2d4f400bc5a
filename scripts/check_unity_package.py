#!/usr/bin/env python3
"""Checks a laid-out Unity package (the folder that holds package.json) against Unity's rules for
packages, without Unity. Prints every rule broken and exits 1; exits 0 when there is none.

- Every file and folder Unity imports has exactly one .meta beside it, and no .meta is left
  without its file or folder. Unity imports nothing hidden: a name that starts with "." or ends
  with "~" (Samples~), and everything inside such a folder. The samples that package.json
  declares are copied into a project as they are, so their files and folders have a .meta too
  (each sample's own folder gets a new one there).
- Each .meta has fileFormatVersion 2 and a GUID of 32 lower-case hex digits, never all zeros,
  unique in the package; a folder's says "folderAsset: yes"; the importer fits the file
  (MonoImporter for C#, AssemblyDefinitionImporter, PluginImporter for a DLL,
  PackageManifestImporter for package.json).
- package.json: a lower-case reverse-domain name, a SemVer version, "unity" as "YYYY.N",
  a display name, and samples each with a display name, a description and a path to a folder
  under Samples~.
- Each assembly definition is JSON with a valid, unique name, only the fields Unity knows with
  their types, and not both included and excluded platforms; every C# file outside the samples
  lies under one.
- Each native DLL (Plugins/<cpu>/name.dll) is enabled for exactly the platforms of its CPU
  folder and no other, never for "Any Platform": x86 for 32-bit Windows players only, x86_64
  for 64-bit Windows players and the Windows editor; its PE header is of that CPU; no two
  plugins of one name are enabled for the same platform.

Usage: check_unity_package.py PACKAGE_DIR
"""
import json
import os
import re
import struct
import sys

GUID = re.compile(r"[0-9a-f]{32}")
NAME = re.compile(r"[a-z0-9][a-z0-9-_]*(\.[a-z0-9][a-z0-9-_]*){2,}")
SEMVER = re.compile(r"(0|[1-9]\d*)\.(0|[1-9]\d*)\.(0|[1-9]\d*)"
                    r"(-[0-9A-Za-z-]+(\.[0-9A-Za-z-]+)*)?(\+[0-9A-Za-z-]+(\.[0-9A-Za-z-]+)*)?")
UNITY_VERSION = re.compile(r"\d{4}\.\d+")
ASSEMBLY_NAME = re.compile(r"[A-Za-z0-9_][A-Za-z0-9_.-]*")

IMPORTERS = {".cs": "MonoImporter", ".asmdef": "AssemblyDefinitionImporter",
             ".dll": "PluginImporter"}
# The fields of an assembly definition, with their JSON types.
ASMDEF_FIELDS = {"name": str, "rootNamespace": str, "references": list,
                 "includePlatforms": list, "excludePlatforms": list, "allowUnsafeCode": bool,
                 "overrideReferences": bool, "precompiledReferences": list,
                 "autoReferenced": bool, "defineConstraints": list, "versionDefines": list,
                 "noEngineReferences": bool}
# What a native plugin in a CPU folder must be enabled for: {platform: {setting: value}}.
PLUGIN_PLATFORMS = {
    "x86": {"Standalone:Win": {"CPU": "x86"}},
    "x86_64": {"Standalone:Win64": {"CPU": "x86_64"},
               "Editor:Editor": {"CPU": "x86_64", "OS": "Windows"}},
}
PE_MACHINES = {"x86": 0x014C, "x86_64": 0x8664}


def hidden(name):
    return name.startswith(".") or name.endswith("~")


# --- the subset of YAML that Unity writes in .meta files -------------------------------------

def parse_meta(text):
    """Maps, "- " lists and scalars, by indentation; "{}" and "[]" as empty; a key may be
    empty (": Any"). Scalars stay strings."""
    lines = []
    for raw in text.splitlines():
        if raw.strip() and not raw.lstrip().startswith("#"):
            lines.append((len(raw) - len(raw.lstrip(" ")), raw.strip()))

    def scalar(value):
        return {"{}": {}, "[]": []}.get(value, value)

    def block(i, indent):
        if lines[i][1].startswith("- "):
            items = []
            while i < len(lines) and lines[i][0] == indent and lines[i][1].startswith("- "):
                lines[i] = (indent + 2, lines[i][1][2:])
                item, i = block(i, indent + 2)
                items.append(item)
            return items, i
        mapping = {}
        while i < len(lines) and lines[i][0] == indent and not lines[i][1].startswith("- "):
            content = lines[i][1]
            if ": " in content:
                key, _, value = content.partition(": ")
            elif content.endswith(":"):
                key, value = content[:-1], ""
            else:
                raise ValueError("line %r is no key" % content)
            i += 1
            if value == "" and i < len(lines) and (
                    lines[i][0] > indent or (lines[i][0] == indent and lines[i][1].startswith("- "))):
                mapping[key], i = block(i, lines[i][0])
            else:
                mapping[key] = scalar(value)
        return mapping, i

    if not lines:
        return {}
    value, end = block(0, lines[0][0])
    if end != len(lines):
        raise ValueError("unexpected indentation at %r" % lines[end][1])
    return value


# --- the rules ---------------------------------------------------------------------------------

class Check:
    def __init__(self, root):
        self.root = root
        self.problems = []
        self.guids = {}
        self.plugins = {}  # file name (lower case) -> [(path, enabled platforms)]
        self.counts = {"files": 0, "folders": 0, "metas": 0}

    def fail(self, path, problem):
        self.problems.append("%s: %s" % (os.path.relpath(path, self.root) if path else ".",
                                         problem))

    def walk(self, top):
        """Every asset Unity imports under `top` (top itself has no .meta)."""
        for directory, folders, files in os.walk(top):
            folders[:] = sorted(f for f in folders if not hidden(f))
            names = set(folders) | {f for f in files if not hidden(f)}
            for name in sorted(names):
                path = os.path.join(directory, name)
                if name.endswith(".meta"):
                    self.counts["metas"] += 1
                    if name[:-len(".meta")] not in names:
                        self.fail(path, "a .meta without its file or folder")
                    continue
                is_folder = name in folders
                self.counts["folders" if is_folder else "files"] += 1
                if name + ".meta" not in names:
                    self.fail(path, "no .meta: Unity ignores it in an immutable package")
                    continue
                self.meta(path, is_folder)

    def meta(self, asset, is_folder):
        path = asset + ".meta"
        try:
            with open(path, encoding="utf-8") as meta:
                data = parse_meta(meta.read())
        except (OSError, UnicodeDecodeError, ValueError) as error:
            self.fail(path, "not readable as a .meta: %s" % error)
            return
        if not isinstance(data, dict):
            self.fail(path, "not a mapping")
            return
        if data.get("fileFormatVersion") != "2":
            self.fail(path, "fileFormatVersion is not 2")
        guid = data.get("guid", "")
        if not GUID.fullmatch(guid) or guid == "0" * 32:
            self.fail(path, "the GUID %r is not 32 lower-case hex digits (nor all zeros)" % guid)
        elif guid in self.guids:
            self.fail(path, "the GUID %s is also %s's" % (guid, os.path.relpath(
                self.guids[guid], self.root)))
        else:
            self.guids[guid] = path
        importers = [key for key in data if key.endswith("Importer")]
        if len(importers) != 1:
            self.fail(path, "not exactly one importer: %s" % importers)
            return
        importer = importers[0]
        if is_folder:
            if data.get("folderAsset") != "yes" or importer != "DefaultImporter":
                self.fail(path, "a folder's .meta needs folderAsset: yes and DefaultImporter")
            return
        if "folderAsset" in data:
            self.fail(path, "a file's .meta says folderAsset")
        name = os.path.basename(asset)
        wanted = ("PackageManifestImporter" if name == "package.json" and
                  os.path.dirname(asset) == self.root else
                  IMPORTERS.get(os.path.splitext(name)[1]))
        if wanted is not None and importer != wanted:
            self.fail(path, "%s in place of %s" % (importer, wanted))
        if importer == "PluginImporter":
            self.plugin(asset, data[importer])

    # --- native plugins

    def plugin(self, dll, importer):
        cpu = os.path.basename(os.path.dirname(dll))
        if cpu not in PLUGIN_PLATFORMS:
            self.fail(dll, "a native plugin outside Plugins/x86 or Plugins/x86_64")
            return
        enabled = {}
        entries = importer.get("platformData") if isinstance(importer, dict) else None
        if not isinstance(entries, list):
            self.fail(dll, "no platformData in its .meta")
            return
        for entry in entries:
            first = entry.get("first") if isinstance(entry, dict) else None
            second = entry.get("second") if isinstance(entry, dict) else None
            if not isinstance(first, dict) or len(first) != 1 or not isinstance(second, dict):
                self.fail(dll, "a platformData entry that is not first/second")
                continue
            (category, platform), = first.items()
            name = "Any" if "Any" in (category, platform) else "%s:%s" % (category, platform)
            if second.get("enabled") == "1":
                settings = second.get("settings") or {}
                enabled[name] = settings if isinstance(settings, dict) else {}
        if "Any" in enabled:
            self.fail(dll, "enabled for Any Platform: every CPU's copy would be taken everywhere")
        wanted = PLUGIN_PLATFORMS[cpu]
        if set(enabled) != set(wanted):
            self.fail(dll, "enabled for %s, not for %s" % (sorted(enabled), sorted(wanted)))
        for platform, settings in wanted.items():
            for key, value in settings.items():
                got = enabled.get(platform, {}).get(key)
                if platform in enabled and got != value:
                    self.fail(dll, "%s: %s is %r, not %r" % (platform, key, got, value))
        self.machine(dll, cpu)
        self.plugins.setdefault(os.path.basename(dll).lower(), []).append((dll, set(enabled)))

    def machine(self, dll, cpu):
        try:
            with open(dll, "rb") as image:
                head = image.read(4096)
            (pe_offset,) = struct.unpack_from("<I", head, 0x3C)
            signature, machine = struct.unpack_from("<4sH", head, pe_offset)
        except (OSError, struct.error):
            self.fail(dll, "not a readable PE file")
            return
        if head[:2] != b"MZ" or signature != b"PE\0\0":
            self.fail(dll, "not a PE file")
        elif machine != PE_MACHINES[cpu]:
            self.fail(dll, "built for machine 0x%04x, not %s" % (machine, cpu))

    def plugins_apart(self):
        for name, copies in self.plugins.items():
            for i, (dll, platforms) in enumerate(copies):
                for other, other_platforms in copies[i + 1:]:
                    shared = platforms & other_platforms
                    if shared:
                        self.fail(dll, "enabled for %s as %s is: Unity refuses to build" % (
                            sorted(shared), os.path.relpath(other, self.root)))

    # --- package.json and assembly definitions

    def manifest(self):
        path = os.path.join(self.root, "package.json")
        try:
            with open(path, encoding="utf-8") as manifest:
                data = json.load(manifest)
        except (OSError, ValueError) as error:
            self.fail(path, "no valid package.json: %s" % error)
            return []
        if not isinstance(data, dict):
            self.fail(path, "not a JSON object")
            return []
        name = data.get("name")
        if not isinstance(name, str) or len(name) > 214 or not NAME.fullmatch(name):
            self.fail(path, "name %r is not a lower-case reverse-domain name" % (name,))
        if not isinstance(data.get("version"), str) or not SEMVER.fullmatch(data["version"]):
            self.fail(path, "version %r is not SemVer" % (data.get("version"),))
        if not isinstance(data.get("unity"), str) or not UNITY_VERSION.fullmatch(data["unity"]):
            self.fail(path, "unity %r is not YYYY.N" % (data.get("unity"),))
        for key in ("displayName", "description"):
            if not isinstance(data.get(key), str) or not data[key].strip():
                self.fail(path, "no %s" % key)
        dependencies = data.get("dependencies", {})
        if not isinstance(dependencies, dict) or not all(
                isinstance(v, str) for v in dependencies.values()):
            self.fail(path, "dependencies is not a map of names to versions")
        samples = data.get("samples", [])
        if not isinstance(samples, list):
            self.fail(path, "samples is not a list")
            return []
        folders = []
        for sample in samples:
            if not isinstance(sample, dict) or not all(
                    isinstance(sample.get(k), str) and sample[k].strip()
                    for k in ("displayName", "description", "path")):
                self.fail(path, "a sample without displayName, description and path: %r" % (
                    sample,))
                continue
            folder = os.path.normpath(os.path.join(self.root, sample["path"]))
            parts = os.path.relpath(folder, self.root).split(os.sep)
            if parts[0] != "Samples~" or len(parts) < 2 or not os.path.isdir(folder):
                self.fail(path, "sample path %r is no folder under Samples~" % sample["path"])
                continue
            folders.append(folder)
        return folders

    def assemblies(self):
        names, covered = {}, []
        for directory, folders, files in os.walk(self.root):
            folders[:] = [f for f in folders if not hidden(f)]
            definitions = [f for f in files if f.endswith(".asmdef") and not hidden(f)]
            if len(definitions) > 1:
                self.fail(directory, "more than one assembly definition in a folder")
            for name in definitions:
                path = os.path.join(directory, name)
                covered.append(directory)
                self.assembly(path, names)
        for directory, folders, files in os.walk(self.root):
            folders[:] = [f for f in folders if not hidden(f)]
            for name in files:
                if name.endswith(".cs") and not hidden(name) and not any(
                        os.path.commonpath([directory, top]) == top for top in covered):
                    self.fail(os.path.join(directory, name), "C# outside any assembly definition")

    def assembly(self, path, names):
        try:
            with open(path, encoding="utf-8-sig") as definition:
                data = json.load(definition)
        except (OSError, ValueError) as error:
            self.fail(path, "not valid JSON: %s" % error)
            return
        if not isinstance(data, dict):
            self.fail(path, "not a JSON object")
            return
        for key, value in data.items():
            if key not in ASMDEF_FIELDS:
                self.fail(path, "unknown field %r" % key)
            elif not isinstance(value, ASMDEF_FIELDS[key]):
                self.fail(path, "%s is not a %s" % (key, ASMDEF_FIELDS[key].__name__))
            elif isinstance(value, list) and key != "versionDefines" and not all(
                    isinstance(v, str) for v in value):
                self.fail(path, "%s holds something other than names" % key)
        name = data.get("name")
        if not isinstance(name, str) or not ASSEMBLY_NAME.fullmatch(name):
            self.fail(path, "name %r is not a valid assembly name" % (name,))
        elif name in names:
            self.fail(path, "the assembly name %s is also %s's" % (name, names[name]))
        else:
            names[name] = os.path.relpath(path, self.root)
        if data.get("includePlatforms") and data.get("excludePlatforms"):
            self.fail(path, "both includePlatforms and excludePlatforms")

    def run(self):
        samples = self.manifest()
        self.walk(self.root)
        for sample in samples:
            self.walk(sample)
        self.plugins_apart()
        self.assemblies()
        return self.problems


def main():
    if len(sys.argv) != 2 or not os.path.isdir(sys.argv[1]):
        print("usage: check_unity_package.py PACKAGE_DIR", file=sys.stderr)
        return 2
    root = os.path.abspath(sys.argv[1])
    check = Check(root)
    problems = check.run()
    for problem in problems:
        print("unity-package: %s" % problem)
    if problems:
        print("unity-package: %s: broken rules: %d" % (root, len(problems)))
        return 1
    print("unity-package: %s: %d files, %d folders, %d .meta files; every rule kept" % (
        root, check.counts["files"], check.counts["folders"], check.counts["metas"]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
