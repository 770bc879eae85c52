#!/usr/bin/env bash
# lint.pyflakes: Debian's pyflakes over every Python file, found by name
# (*.py) and by the interpreter in its first line.
set -euo pipefail
cd "$(dirname "$0")/../.."
. tests/lint/lint_support.sh
require_tool pyflakes3 pyflakes3

list=$(repo_files python)
mapfile -t sources <<<"$list"
echo "pyflakes3 over ${#sources[@]} files"
pyflakes3 "${sources[@]}"
