#!/usr/bin/env bash
# Builds the Debian package of Tovrelle (build-deb/tovrelle_<version>_<arch>.deb)
# from this tree and checks it with lintian when that is installed.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-deb}
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DTOVRELLE_BUILD_TESTS=OFF -DTOVRELLE_BUILD_BENCH=OFF "${launcher[@]}"
cmake --build "$build" -j"$(nproc)"
(cd "$build" && cpack -G DEB)
deb=$(ls -t "$build"/tovrelle_*.deb | head -n1)
echo "package: $deb"
if command -v lintian >/dev/null; then
  lintian --tag-display-limit 0 "$deb"
fi
