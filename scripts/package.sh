#!/usr/bin/env bash
# Makes the download from a clean build: scripts/package.sh [build-root]
# Builds both architectures afresh (without the tests) in the build root
# (build/package unless named) and writes korvane-<version>.zip there, holding
# korvane-i686.exe, korvane-x86_64.exe, README.md and SHA256SUMS of the two
# programs. Prints the zip's path; scripts/check-package.sh checks it.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
root=${1:-build/package}
case "$root" in /*) ;; *) root="$here/$root" ;; esac

version=$(sed -n 's/^project(Korvane VERSION \([0-9.]*\).*/\1/p' "$here/CMakeLists.txt")
if [ -z "$version" ]; then
  echo "No version in the project() line of CMakeLists.txt" >&2
  exit 1
fi

"$here/scripts/setup.sh"
# KORVANE_PACKAGE_FROM=<build-root> packs the programs already built there (the
# test command packs the builds it tested) instead of building afresh.
from=${KORVANE_PACKAGE_FROM:-}
for arch in i686 x86_64; do
  [ -z "$from" ] || break
  rm -rf "${root:?}/$arch"
  cmake -S "$here" -B "$root/$arch" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchain-$arch-mingw.cmake" \
    -DKORVANE_BUILD_TESTS=OFF >/dev/null
  cmake --build "$root/$arch"
done

staging="$root/korvane-$version"
zip_path="$root/korvane-$version.zip"
rm -rf "$staging" "$zip_path"
mkdir -p "$staging"
for arch in i686 x86_64; do
  cp "${from:-$root}/$arch/ui/korvane.exe" "$staging/korvane-$arch.exe"
done
cp "$here/README.md" "$staging/README.md"
(cd "$staging" && sha256sum korvane-i686.exe korvane-x86_64.exe > SHA256SUMS)
# Flat, without extra file attributes: the files land where it is unpacked.
(cd "$staging" && zip -q -X "$zip_path" korvane-i686.exe korvane-x86_64.exe README.md SHA256SUMS)
echo "$zip_path"
