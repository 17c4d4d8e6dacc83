#!/usr/bin/env bash
# Configures and builds one architecture: scripts/build.sh i686|x86_64 [build-root]
set -euo pipefail
arch=${1:-i686}
root=${2:-build}
here=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$here" -B "$here/$root/$arch" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchain-$arch-mingw.cmake" >/dev/null
cmake --build "$here/$root/$arch"
