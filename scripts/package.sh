#!/bin/sh
# Builds both architectures and lays out a release, plus a zip of it:
#   dist/mirto-<version>/{bin,lib}/{x64,x86}/..., include/mirto/mirto.h,
#   lib/cmake/mirto/ (find_package(mirto)), bindings/unity/ (the Unity package with the DLLs),
#   com.mirto.analytics-<version>.tgz (the same Unity package as a tarball, for "Add package
#   from tarball" and npm-style scoped registries)
# The Unity package is checked against Unity's package rules (scripts/check_unity_package.py)
# as laid out and as unpacked from the tarball.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/bootstrap.sh"

# The package version is CMake's project() version, as the configured build wrote it into the
# package's version file; it is never typed here.
cmake --preset windows-x64 >/dev/null
version=$(sed -n 's/^set(PACKAGE_VERSION "\([^"]*\)").*/\1/p' build/windows-x64/mirtoConfigVersion.cmake)
[ -n "$version" ] || { echo "package: no version in the build's mirtoConfigVersion.cmake" >&2; exit 1; }
out="$root/dist/mirto-$version"
rm -rf "$out" "$out.zip"
for preset in windows-x64 windows-x86; do
    cmake --preset "$preset" >/dev/null
    cmake --build "build/$preset" --target mirto mirto_msvc_import_lib
    cmake --install "build/$preset" --prefix "$out" --component Unspecified >/dev/null
done

# The Unity package, with the plugin DLLs where the engine looks for them.
mkdir -p "$out/bindings"
cp -R bindings/unity "$out/bindings/unity"
rm -rf "$out/bindings/unity/tests"
mkdir -p "$out/bindings/unity/Plugins/x86_64" "$out/bindings/unity/Plugins/x86"
cp "$out/bin/x64/mirto.dll" "$out/bindings/unity/Plugins/x86_64/mirto.dll"
cp "$out/bin/x86/mirto.dll" "$out/bindings/unity/Plugins/x86/mirto.dll"
cp README.md "$out/README.md"
python3 "$root/scripts/check_unity_package.py" "$out/bindings/unity"

# The tarball, as npm makes it (its files under package/). npm is asked nothing over the network.
manifest_name=$(python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["name"])' \
    "$out/bindings/unity/package.json")
tarball="$out/$manifest_name-$version.tgz"
(cd "$out/bindings/unity" &&
    NPM_CONFIG_UPDATE_NOTIFIER=false npm pack --ignore-scripts --offline --silent \
        --pack-destination "$out" >/dev/null)
[ -f "$tarball" ] || { echo "package: npm pack made no $tarball" >&2; exit 1; }
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
tar -xzf "$tarball" -C "$unpacked"
# Nothing left out or changed on the way, and the rules hold for what Unity unpacks.
diff -r "$out/bindings/unity" "$unpacked/package" ||
    { echo "package: the tarball differs from the laid-out package" >&2; exit 1; }
python3 "$root/scripts/check_unity_package.py" "$unpacked/package"

(cd "$root/dist" && cmake -E tar cf "mirto-$version.zip" --format=zip "mirto-$version")
echo "package: $out"
echo "package: $out.zip"
echo "package: $tarball"
