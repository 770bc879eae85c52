#!/usr/bin/env bash
# lint.clang_format: the C++ of src/, tests/unit/, tests/win32/ and the suite program is laid out
# as .clang-format says; the first lines that differ are shown.
set -euo pipefail
cd "$(dirname "$0")/../.."
. tests/lint/lint_support.sh
require_tool clang-format clang-format

list=$(git ls-files --cached --others --exclude-standard -- \
    'src/*.cpp' 'src/*.h' 'tests/unit/*.cpp' 'tests/unit/*.h' 'tests/win32/*.cpp' 'tests/win32/*.h' \
    'tests/e2e/suite/*.cpp' 'tests/e2e/suite/*.h')
[ -n "$list" ] || { echo "lint: no C++ files found" >&2; exit 1; }
mapfile -t sources <<<"$list"
echo "clang-format --dry-run over ${#sources[@]} files"
clang-format --dry-run --Werror -- "${sources[@]}"
