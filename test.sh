#!/usr/bin/env bash
# Runs every test through ctest: the unit tests (host g++ with GoogleTest,
# ASan and UBSan), the static checks (lint), and the checks of the built exe:
# its image and resources, its signatures, and the Wine end-to-end suite on two
# Wine generations (Debian 12's Wine 8.0 and Debian 13's Wine 10.0; natively,
# or in emulated guests where this kernel runs no 32-bit code). Builds the exe
# first. Installs what it lacks (as root, with apt-get): g++, cmake, ninja and
# GoogleTest for the unit tests, and the lint tools; the test suites install
# their own tools.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/stop-report.sh
trap 'stop_report test.sh' EXIT
. scripts/ensure-packages.sh

# apt-utils and gnupg: the package set-up's test builds and signs an archive of its own.
# The lint label's tools: shellcheck, clang-tidy, clang-format and pyflakes3.
ensure_packages g++ cmake ninja-build libgtest-dev python3-pefile apt-utils gnupg \
    shellcheck clang-tidy clang-format pyflakes3
./build.sh

cmake --preset host
cmake --build --preset host
status=0
ctest --preset host --show-only=json-v1 > build/host/ctest-tests.json
rm -f build/host/*/summary.txt
ctest --preset host || status=$?
scripts/wine-case-summary build/host build/host/ctest-tests.json
exit $status
