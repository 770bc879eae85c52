#!/usr/bin/env bash
# lint.shellcheck: shellcheck at warning level over every shell script, found
# by name (*.sh) and by the interpreter in its first line.
set -euo pipefail
cd "$(dirname "$0")/../.."
. tests/lint/lint_support.sh
require_tool shellcheck shellcheck

list=$(repo_files shell)
mapfile -t scripts <<<"$list"
echo "shellcheck -S warning over ${#scripts[@]} scripts"
shellcheck -S warning -- "${scripts[@]}"
