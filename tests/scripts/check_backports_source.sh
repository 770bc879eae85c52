#!/usr/bin/env bash
# The backports line that enables a newer osslsigncode is taken from the Debian
# source the machine already has, as apt reads it, whatever its file format;
# with no such source there is no line (and the caller says what to install).
# One row per case: the sources given to apt, and the line expected ("" = none).
# Under set -euo pipefail, as the set-up runs it.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/../../scripts/ensure-packages.sh"
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")

rows=(
    "one-line sources.list|list|deb [arch=amd64] file:/srv/archive/debian $codename main contrib
deb file:/srv/archive/debian-security $codename-security main|deb file:/srv/archive/debian/ $codename-backports main"
    "deb822 .sources|sources|Types: deb
URIs: http://127.0.0.1:3142/debian
Suites: $codename-updates $codename
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: http://127.0.0.1:3142/debian-security
Suites: $codename-security
Components: main|deb http://127.0.0.1:3142/debian/ $codename-backports main"
    "security suite only|sources|Types: deb
URIs: http://127.0.0.1:3142/debian-security
Suites: $codename-security
Components: main|"
    "another release only|list|deb file:/srv/archive/debian oldrelease main|"
)

failed=0
for row in "${rows[@]}"; do
    IFS='|' read -r -d '' name format content expected < <(printf '%s\0' "$row")
    dir=$(mktemp -d) || { echo "FAIL [$name] mktemp -d failed"; exit 1; }
    mkdir "$dir/parts"
    : > "$dir/sources.list"
    if [ "$format" = list ]; then
        printf '%s\n' "$content" > "$dir/sources.list"
    else
        printf '%s\n' "$content" > "$dir/parts/machine.sources"
    fi
    rc=0
    got=$(LANYUE_APT_SOURCE_OPTIONS="-o Dir::Etc::SourceList=$dir/sources.list -o Dir::Etc::SourceParts=$dir/parts" \
          backports_source_line) || rc=$?
    rm -rf --one-file-system "$dir"
    if [ "$got" != "$expected" ] || { [ -z "$expected" ] && [ $rc -eq 0 ]; }; then
        echo "FAIL [$name] got '$got' (exit $rc), expected '${expected:-no line, and a failure}'"
        failed=1
    else
        echo "PASS [$name]"
    fi
done
exit $failed
