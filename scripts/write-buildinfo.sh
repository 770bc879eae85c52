#!/usr/bin/env bash
# Writes the build record build.sh puts beside the signed exe (dist/BUILDINFO),
# plain "key: value" lines: the commit and whether the tree was clean, the
# unsigned image's SHA-256, the Debian versions of what shapes the image, the
# architecture and the signing time. tools/verify-download reads it.
# Usage: scripts/write-buildinfo.sh UNSIGNED OUT
set -euo pipefail

die() { echo "write-buildinfo.sh: error: $*" >&2; exit 1; }

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$repo/scripts/stop-report.sh"
trap 'stop_report write-buildinfo.sh' EXIT
# shellcheck source=signing/signing-time.sh
. "$repo/signing/signing-time.sh"

[ $# -eq 2 ] || die "usage: $0 UNSIGNED OUT"
image=$1
out=$2
[ -f "$image" ] || die "unsigned image not found: $image"

# The compiler and its driver (libgcc, libstdc++ linked statically), binutils
# (as, ld, windres), the MinGW-w64 runtime (CRT, import libraries, headers),
# the build tools, and the signer. gcc-mingw-w64-i686-win32-runtime holds
# only DLLs, which the static link never reads.
packages=(g++-mingw-w64-i686-win32 gcc-mingw-w64-i686-win32 binutils-mingw-w64-i686
          mingw-w64-i686-dev mingw-w64-common cmake ninja-build osslsigncode)

commit=$(git -C "$repo" rev-parse HEAD 2>/dev/null) || commit=unknown
clean=unknown
if [ "$commit" != unknown ]; then
    changes=$(git -C "$repo" status --porcelain) || die "git status failed in $repo"
    if [ -z "$changes" ]; then clean=yes; else clean=no; fi
fi
sum=$(sha256sum -- "$image") || die "cannot read $image"
arch=$(dpkg --print-architecture) || die "dpkg --print-architecture failed"
when=$(signing_time "$repo") || die "$when"

# Written aside and renamed, so no half-written record stands beside the exe.
tmp=$(mktemp "$(dirname -- "$out")/.BUILDINFO.XXXXXX") || die "cannot make a file next to $out"
trap 'stop_report write-buildinfo.sh; rm -f -- "$tmp"' EXIT
{
    echo "commit: $commit"
    echo "clean: $clean"
    echo "unsigned-sha256: ${sum%% *}"
    echo "architecture: $arch"
    echo "source-date-epoch: $when"
    for pkg in "${packages[@]}"; do
        state=$(dpkg-query -W -f='${db:Status-Status} ${Version}' "$pkg" 2>/dev/null) || state=""
        [[ $state == "installed "* ]] || die "$pkg is not installed"
        echo "package: $pkg ${state#installed }"
    done
} > "$tmp"
chmod 644 -- "$tmp"
mv -f -- "$tmp" "$out"
