#!/usr/bin/env bash
# Build the extension into a private directory and assemble an importable
# package there, so that several checkouts or people can build side by side:
#   tools/devbuild.sh /tmp/mybuild && PYTHONPATH=/tmp/mybuild/pkg python3 -m pytest tests
set -euo pipefail
out=${1:?usage: tools/devbuild.sh BUILD_DIR}
root=$(cd "$(dirname "$0")/.." && pwd)
if [ ! -f "$out/build.ninja" ]; then
    meson setup "$out" "$root" >/dev/null
fi
ninja -C "$out" >/dev/null || ninja -C "$out"
mkdir -p "$out/pkg/tolvar2"
cp "$root"/src/tolvar2/*.py "$out/pkg/tolvar2/"
cp "$out"/_tolvar*.so "$out/pkg/tolvar2/"
