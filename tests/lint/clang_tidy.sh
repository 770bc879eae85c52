#!/usr/bin/env bash
# lint.clang_tidy: clang-tidy over src/ with the checks in .clang-tidy, read as
# the Windows build reads it: for i686-w64-mingw32, against the MinGW-w64
# headers and C++ library, with the build's defines (the arguments, -DNAME=...).
set -euo pipefail
cd "$(dirname "$0")/../.."
. tests/lint/lint_support.sh
require_tool clang-tidy clang-tidy
require_tool i686-w64-mingw32-g++ g++-mingw-w64-i686-win32

# The cross compiler's include folders, but not GCC's own built-in headers:
# clang brings its own.
if ! search=$(i686-w64-mingw32-g++ -x c++ -E -v - </dev/null 2>&1); then
    echo "lint: i686-w64-mingw32-g++ could not list its include folders:" >&2
    printf '%s\n' "$search" >&2
    exit 1
fi
flags=(--target=i686-w64-mingw32 -std=c++17 -nostdinc++ "$@")
while IFS= read -r dir; do
    dir=$(realpath -m "$dir")
    case $dir in
    */include/c++*) flags+=(-isystem "$dir") ;;
    */lib/gcc/*) ;;
    *) flags+=(-isystem "$dir") ;;
    esac
done < <(sed -n '/^#include <...> search starts here:/,/^End of search list/s/^ //p' <<<"$search")
[[ " ${flags[*]} " == */include/c++* ]] || { echo "lint: no MinGW C++ headers found in: $search" >&2; exit 1; }

list=$(git ls-files --cached --others --exclude-standard -- 'src/*.cpp')
[ -n "$list" ] || { echo "lint: no sources found in src/" >&2; exit 1; }
mapfile -t sources <<<"$list"
echo "clang-tidy over ${#sources[@]} files with: ${flags[*]}"
clang-tidy --quiet "${sources[@]}" -- "${flags[@]}"
