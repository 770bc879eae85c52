#!/usr/bin/env bash
# Builds the signed dist/LanyueRepair.exe, its build record dist/BUILDINFO,
# the signed suite program dist/LanyueRepair-tests.exe (a tester's copy, see
# README.md) and dist/SHA256SUMS from a clean clone.
# Installs what it lacks (as root, with apt-get): the MinGW-w64 i686 cross
# compiler and windres, cmake and ninja to build, openssl and osslsigncode
# (2.8 or later, from bookworm-backports on Debian 12) to sign.
# Not root: prints the apt-get command and stops.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/stop-report.sh
trap 'stop_report build.sh' EXIT
. scripts/ensure-packages.sh

ensure_packages g++-mingw-w64-i686-win32 binutils-mingw-w64-i686 cmake ninja-build openssl
ensure_osslsigncode

cmake --preset windows
cmake --build --preset windows

mkdir -p dist
rm -f dist/LanyueRepair.exe dist/LanyueRepair-tests.exe dist/BUILDINFO dist/SHA256SUMS
signing/sign.sh build/windows/LanyueRepair.exe dist/LanyueRepair.exe
signing/sign.sh build/windows/LanyueRepair-tests.exe dist/LanyueRepair-tests.exe
# What a second builder needs to rebuild the image; tools/verify-download reads it.
scripts/write-buildinfo.sh build/windows/LanyueRepair.exe dist/BUILDINFO
(cd dist && sha256sum LanyueRepair.exe LanyueRepair-tests.exe BUILDINFO > SHA256SUMS)
echo "Built dist/LanyueRepair.exe ($(stat -c %s dist/LanyueRepair.exe) bytes)"
