#!/usr/bin/env bash
# The README's main job on a fresh Debian 12 machine: installs the dependencies,
# builds everything, installs the deliverables, then runs the installed agent for
# real through scripts/demo.sh (a stand-in DB2 database of SIZE_MIB, default 300).
#
#   scripts/main-job.sh [SIZE_MIB]
set -euo pipefail
cd "$(dirname "$0")/.."
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
./.ci/install-deps
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
$SUDO cmake --install build
$SUDO ldconfig
scripts/demo.sh build "${1:-300}"
