#!/usr/bin/env bash
# The main job on the embedded virtual token: builds the native tree and walks
# through a virtual token's life with the command-line tools.
# Usage: scripts/demo.sh [--skip-deps]
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" != "--skip-deps" ]; then
  bash .ci/install-deps.sh
fi
cmake --preset native >/dev/null
cmake --build --preset native -j "${QX_JOBS:-2}" --target qxvtoken QXDevice QXTokenKernel QXSoftAlg

bin=build/native/bin
export QX_VTOKEN_HOME=${QX_VTOKEN_HOME:-$(mktemp -d)}
run() { echo; echo "\$ $*"; "$@"; }

echo "virtual tokens live in $QX_VTOKEN_HOME"
run "$bin/qxvtoken" create --channel ccid demo
run "$bin/qxvtoken" create --channel hid --transport-key demo-hid
run "$bin/qxvtoken" list
run "$bin/qxvtoken" dump demo
run "$bin/qxvtoken" unplug demo-hid
run "$bin/qxvtoken" list
run "$bin/qxvtoken" plug demo-hid
run "$bin/qxvtoken" press demo
run "$bin/qxvtoken" remove demo-hid
run "$bin/qxvtoken" list
