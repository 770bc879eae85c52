#!/usr/bin/env bash
# How the package set-up gets through an archive caught mid-sync, installs
# osslsigncode from backports, and keeps its update stamps: real apt against a
# small signed archive this test makes (suites for the machine's release, its
# security and backports suites, amd64 and i386), in a sandbox of its own, so
# neither the machine's lists nor its dpkg database are read or changed.
# Each call runs in a shell of its own under set -euo pipefail, as its callers
# do. One row per case: the call, its expected exit, what stderr must say.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
lib="$here/../../scripts/ensure-packages.sh"
# shellcheck source=scripts/ensure-packages.sh
. "$lib"
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
export LANYUE_APT_RETRY_WAITS=0 LANYUE_APT_INSTALL_OPTIONS=-s
for tool in dpkg-deb apt-ftparchive gpg; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (packages dpkg, apt-utils, gpg)"; exit 1; }
done

work=$(mktemp -d) || { echo "FAIL: mktemp -d failed"; exit 1; }
trap 'gpgconf --homedir "$work/gnupg" --kill gpg-agent 2>/dev/null; rm -rf --one-file-system "$work"' EXIT
export work GNUPGHOME="$work/gnupg" TMPDIR="$work" LANYUE_APT_STAMP_DIR="$work/stamps"
mkdir -m 700 "$GNUPGHOME"
gpg --batch -q --passphrase '' --quick-gen-key 'apt fallback test' ed25519 sign never 2>/dev/null

# NAME VERSION ARCH MULTI-ARCH DEPENDS, built once into the pool.
deb() {
    local d="$work/src/$1-$2-$3"
    mkdir -p "$d/DEBIAN"
    printf 'Package: %s\nVersion: %s\nArchitecture: %s\nMaintainer: t <t@t>\nDescription: t\n' "$1" "$2" "$3" > "$d/DEBIAN/control"
    [ "$4" = - ] || echo "Multi-Arch: $4" >> "$d/DEBIAN/control"
    [ "$5" = - ] || echo "Depends: $5" >> "$d/DEBIAN/control"
    mkdir -p "$work/pool/$6"
    dpkg-deb -Zgzip --root-owner-group -b "$d" "$work/pool/$6/$1_$2_$3.deb" >/dev/null
}
deb tool 1.0 amd64 - - base
deb app 1.0 amd64 - libm base
deb app32 1.0 i386 - libm base
deb libm 1.0 amd64 same - base
deb libm 1.0 i386 same - base
deb libm 1.1 amd64 same - sec
deb libm 1.1 i386 same - sec
deb osslsigncode 2.5 amd64 - - base
deb osslsigncode 2.9 amd64 - - bpo

# A signed archive in a folder of its own: the machine's release, its
# security and its backports suite, each for amd64 and i386.
make_archive() {
    local root="$work/archive-$1" suite pool dist arch
    for suite in "$codename:base" "$codename-security:sec" "$codename-backports:bpo"; do
        dist=${suite%%:*} pool=${suite##*:}
        mkdir -p "$root/dists/$dist/main" "$root/pool"
        cp -r "$work/pool/$pool" "$root/pool/"
        for arch in amd64 i386; do
            mkdir -p "$root/dists/$dist/main/binary-$arch"
            (cd "$root" && apt-ftparchive --arch "$arch" packages "pool/$pool") \
                > "$root/dists/$dist/main/binary-$arch/Packages" 2>/dev/null
        done
        apt-ftparchive -o APT::FTPArchive::Release::Suite="$dist" -o APT::FTPArchive::Release::Codename="$dist" \
            -o APT::FTPArchive::Release::Architectures="amd64 i386" -o APT::FTPArchive::Release::Components=main \
            release "$root/dists/$dist" > "$work/Release"
        mv "$work/Release" "$root/dists/$dist/Release"
        gpg --batch -q --yes --clearsign -o "$root/dists/$dist/InRelease" "$root/dists/$dist/Release"
    done
    echo "$root"
}

# An apt sandbox (config, lists, status, keyring) for the architectures
# given, whose sources are the archive at URI.
make_sandbox() {
    local sb="$work/sandbox-$1"
    mkdir -p "$sb/etc/apt/apt.conf.d" "$sb/etc/apt/preferences.d" "$sb/etc/apt/sources.list.d" \
        "$sb/etc/apt/trusted.gpg.d" "$sb/var/lib/apt/lists/partial" "$sb/var/cache/apt/archives/partial" \
        "$sb/var/lib/dpkg"
    : > "$sb/var/lib/dpkg/status"
    gpg --batch -q --export > "$sb/etc/apt/trusted.gpg.d/test.gpg"
    printf 'deb %s %s main\ndeb %s %s-security main\n' "$2" "$codename" "$2" "$codename" \
        > "$sb/etc/apt/sources.list"
    cat > "$sb/apt.conf" <<EOF
Dir "$sb/";
Dir::State::status "$sb/var/lib/dpkg/status";
APT::Architecture "amd64";
APT::Architectures { $(printf '"%s"; ' $3)};
APT::Sandbox::User "root";
EOF
    echo "$sb/apt.conf"
}

# A machine whose PATH has no osslsigncode, or Debian 12's own 2.5 first:
# the set-up, then what apt would install.
no_osslsigncode=$work/bin-without-osslsigncode old_osslsigncode=$work/bin-old-osslsigncode
mkdir "$no_osslsigncode" "$old_osslsigncode"
for tool in /usr/bin/* /usr/sbin/*; do
    [ "${tool##*/}" = osslsigncode ] || ln -sf "$tool" "$no_osslsigncode/"
done
printf '#!/bin/sh\necho "osslsigncode 2.5, using:"\n' > "$old_osslsigncode/osslsigncode"
chmod +x "$old_osslsigncode/osslsigncode"
osslsigncode_install() {
    PATH=$1 ensure_osslsigncode
    grep '^Inst osslsigncode' <<<"$APT_OUTPUT"
}
# An update stamps; the stamp is then swapped for a link to a file of someone
# else's, dated an hour back so that the next update stamps again.
planted_stamp_link() {
    local victim=$work/victim stamp
    local TMPDIR=$work/stamps-planted LANYUE_APT_STAMP_DIR=$work/stamps-planted
    mkdir -m 700 "$LANYUE_APT_STAMP_DIR"
    echo "someone else's" > "$victim"
    apt_update_tolerant
    for stamp in "$LANYUE_APT_STAMP_DIR"/*; do
        ln -sfn "$victim" "$stamp"
        touch -h -d '1 hour ago' "$stamp"
    done
    apt_update_tolerant
    cat "$victim"
    find "$LANYUE_APT_STAMP_DIR" -type l
}
# A stamp folder that everyone can write to, as /tmp: nothing is put there.
shared_stamp_folder() {
    local TMPDIR=$work/shared LANYUE_APT_STAMP_DIR=$work/shared
    mkdir -m 1777 "$LANYUE_APT_STAMP_DIR"
    apt_update_tolerant
    ls -A "$LANYUE_APT_STAMP_DIR"
}
export -f osslsigncode_install planted_stamp_link shared_stamp_folder

# name | archive | lists of an earlier amd64-only update (stamped: through the
#   set-up, which marks them fresh) | call | expected exit |
#   stderr must match (regex, . spans lines) | stderr must not have | stdout
# short: the security suite's i386 index no longer matches its Release, as
# while a mirror syncs. apt drops all of a suite's new indexes when one fails,
# so a skew between architectures needs lists from before i386 was added.
# The sandbox's sources are the release and its security suite, never backports.
rows=(
    "a: a whole archive installs|whole|no|apt_get_packages app app32:i386|0||warning|"
    "b: a short index warns, a package of the base suite installs|short|no|apt_get_packages tool|0|warning: apt-get update still reports errors.*binary-i386/Packages  Hash Sum mismatch|trying again|"
    "c: a Multi-Arch: same skew is settled preferring the release|short|yes|apt_get_packages app app32:i386|0|install failed \(E: .*\); trying again preferring $codename|error:|"
    "d: nothing reachable fails with apt's words|none|no|apt_get_packages app|1|install failed \(E: Unable to locate package app\).*error: could not install app.*then tried: apt-get install .*-t $codename.*apt said:.*update had reported errors.*does not have a Release file||"
    "e: the image's suites leave out the short one|short|no|whole_debian_source_lines|0|left out $codename-security: .*binary-i386/Packages  Hash Sum mismatch||deb file:$work/archive-e/ $codename main"
    "f: i386 added since a fresh update is still fetched|whole|stamped|apt_get_packages app32:i386|0||Unable to locate|"
    "g: no osslsigncode: backports added from the machine's source, installed from there|whole|no|osslsigncode_install $no_osslsigncode|0|osslsigncode is missing.*adding $codename-backports to apt's sources: deb file:$work/archive-g/ $codename-backports main.*Installing: osslsigncode from $codename-backports|error|Inst osslsigncode (2.9 $codename-backports [amd64])"
    "h: Debian 12's own osslsigncode 2.5 is replaced from backports|whole|no|osslsigncode_install $old_osslsigncode:$no_osslsigncode|0|osslsigncode 2.5 is older than 2.8.*Installing: osslsigncode from $codename-backports|error|Inst osslsigncode (2.9 $codename-backports [amd64])"
    "i: a link planted at the stamp is replaced, not written through|whole|no|planted_stamp_link|0||warning|someone else's"
    "j: a stamp folder others can write to gets nothing|whole|no|shared_stamp_folder|0|update stamps not kept: others can write to $work/shared||"
)

failed=0
for row in "${rows[@]}"; do
    IFS='|' read -r -d '' name state before call want_rc want_err deny_err want_out < <(printf '%s\0' "$row")
    want_out=${want_out%$'\n'}
    id=${name%%:*}
    uri="file:$work/archive-$id"
    [ "$state" = none ] || make_archive "$id" >/dev/null
    if [ "$before" != no ]; then
        APT_CONFIG=$(make_sandbox "$id" "$uri" amd64) apt-get update >/dev/null 2>&1 || true
    fi
    if [ "$before" = stamped ]; then  # as a machine whose lists were there before the set-up
        APT_CONFIG=$(make_sandbox "$id" "$uri" amd64) apt_update_tolerant 2>/dev/null
    fi
    [ "$state" != short ] || echo "Package: late" >> "$work/archive-$id/dists/$codename-security/main/binary-i386/Packages"
    APT_CONFIG=$(make_sandbox "$id" "$uri" "amd64 i386")
    export APT_CONFIG
    rc=0
    out=$(bash -c 'set -euo pipefail; . "$1"; eval "$2"' call "$lib" "$call" 2>"$work/stderr") || rc=$?
    err=$(cat "$work/stderr")
    why=""
    [ "$rc" = "$want_rc" ] || why="exit $rc, expected $want_rc"
    [ -z "$want_err" ] || /usr/bin/python3 -c 'import re, sys; sys.exit(not re.search(sys.argv[1], sys.argv[2], re.S))' \
        "$want_err" "$err" || why="$why; stderr lacks /$want_err/"
    [ -z "$deny_err" ] || ! grep -q -- "$deny_err" <<<"$err" || why="$why; stderr has /$deny_err/"
    [ "$out" = "$want_out" ] || why="$why; stdout '$out', expected '$want_out'"
    if [ -n "$why" ]; then
        echo "FAIL [$name] ${why#; }"
        sed 's/^/    | /' <<<"$err"
        failed=1
    else
        echo "PASS [$name]"
    fi
done
exit $failed
