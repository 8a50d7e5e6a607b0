#!/usr/bin/env bash
# Fails when a tracked C++ file differs from what clang-format makes of it with the
# repository's .clang-format. Lists the files that drift; fix them with
#   clang-format -i <file>...
# Formatting differs between clang-format releases; the reference is Debian 12's (14.x).
# CLANG_FORMAT picks another binary.
set -euo pipefail
cd "$(dirname "$0")/.."

clang_format=${CLANG_FORMAT:-clang-format}
command -v "$clang_format" >/dev/null || { echo "FAIL: $clang_format not found" >&2; exit 1; }
"$clang_format" --version
# A broken .clang-format would otherwise show up as every file drifting.
"$clang_format" --dump-config >/dev/null

if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    mapfile -t files < <(git ls-files -- '*.cpp' '*.cc' '*.h' '*.hpp')
else
    mapfile -t files < <(find . -path ./build -prune -o -type f \( -name '*.cpp' -o -name '*.cc' \
        -o -name '*.h' -o -name '*.hpp' \) -print | sed 's|^\./||' | sort)
fi

drifting=()
for file in "${files[@]}"; do
    # A tracked file deleted in the working tree is not a formatting question.
    [[ -f "$file" ]] || continue
    if ! "$clang_format" --dry-run --Werror "$file" >/dev/null 2>&1; then
        drifting+=("$file")
    fi
done

echo "checked ${#files[@]} files"
if ((${#drifting[@]} > 0)); then
    echo "not formatted (clang-format -i to fix):"
    printf '  %s\n' "${drifting[@]}"
    exit 1
fi
