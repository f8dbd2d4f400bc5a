#!/usr/bin/env bash
# Static analysis of the library's own sources: the include layering of src/ (check_layers.py,
# docs/architecture.md), clang-tidy (checks in .clang-tidy) and cppcheck. Exits non-zero when
# any of them reports anything.
#
# clang-tidy needs each file's real compile command:
# - the portable modules (JSON, percent encoding) come from the native build's database;
# - everything else from the windows-x64 database, parsed by clang for the mingw target with
#   mingw's own libstdc++ headers (clang does not find them under Debian's "12-win32" folder).
# A missing database is configured (configure only, nothing is built).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

for tool in clang-tidy cppcheck cmake python3 x86_64-w64-mingw32-g++; do
    command -v "$tool" >/dev/null || { echo "lint: $tool not found" >&2; exit 2; }
done

echo "lint: include layering of src/ (docs/architecture.md)"
layers_status=0
python3 scripts/check_layers.py || layers_status=1

ensure_database() {  # preset
    if [ ! -f "build/$1/compile_commands.json" ]; then
        echo "lint: configuring $1 for its compile database"
        cmake --preset "$1" >/dev/null
    fi
}
ensure_database native
ensure_database windows-x64

# The project's sources under src/ that a database compiles, one per line.
sources_in() {  # database
    python3 - "$root" "$1" <<'EOF'
import json, os, sys
root, database = sys.argv[1], sys.argv[2]
src = os.path.join(root, "src") + os.sep
files = {os.path.normpath(os.path.join(e["directory"], e["file"])) for e in json.load(open(database))}
print("\n".join(sorted(os.path.relpath(f, root) for f in files if f.startswith(src))))
EOF
}

mapfile -t portable < <(sources_in build/native/compile_commands.json)
mapfile -t windows < <(comm -23 <(sources_in build/windows-x64/compile_commands.json) \
                                <(printf '%s\n' "${portable[@]}"))
if [ "${#portable[@]}" -eq 0 ] || [ "${#windows[@]}" -eq 0 ]; then
    echo "lint: no sources found in the compile databases" >&2
    exit 2
fi

windows_args=(--extra-arg=--target=x86_64-w64-mingw32 --extra-arg=-nostdinc++)
while read -r dir; do
    windows_args+=("--extra-arg=-isystem$dir")
done < <(echo | x86_64-w64-mingw32-g++ -x c++ -E -v - 2>&1 |
         sed -n '/<\.\.\.> search starts/,/End of search/p' | grep '/c++' | sed 's/^ *//')

jobs=$(nproc 2>/dev/null || echo 2)
status=$layers_status
# clang-tidy counts the (suppressed) warnings of system headers on stderr; only noise here.
exec 2> >(grep -Ev --line-buffered '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' >&2)

echo "lint: clang-tidy, ${#portable[@]} portable files (native database)"
printf '%s\0' "${portable[@]}" |
    xargs -0 -n 1 -P "$jobs" clang-tidy --quiet -p build/native || status=1

echo "lint: clang-tidy, ${#windows[@]} Windows files (windows-x64 database, mingw target)"
printf '%s\0' "${windows[@]}" |
    xargs -0 -n 1 -P "$jobs" clang-tidy --quiet -p build/windows-x64 "${windows_args[@]}" ||
    status=1

echo "lint: clang-format (layout of every C++ file in git)"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror || status=1

echo "lint: cppcheck"
cppcheck --quiet --std=c++17 --enable=warning,performance,portability --error-exitcode=1 \
    --inline-suppr -I include -I src src/ || status=1

if [ "$status" -ne 0 ]; then
    echo "lint: findings above" >&2
else
    echo "lint: clean"
fi
exit "$status"
