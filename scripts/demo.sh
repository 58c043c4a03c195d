#!/usr/bin/env bash
# The main job on the embedded virtual token: builds the native tree and walks
# through a virtual token's life with the command-line tools: the token
# itself (qxvtoken), then the middleware on it (qxtoken: initialise, change
# the default PIN, verify, show the token information).
# Usage: scripts/demo.sh [--skip-deps]
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" != "--skip-deps" ]; then
  bash scripts/install-deps.sh
fi
cmake --preset native >/dev/null
cmake --build --preset native -j "${QX_JOBS:-2}" --target qxvtoken qxtoken QXDevice QXTokenKernel QXSoftAlg

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
run "$bin/qxvtoken" press demo || echo "(nothing waits for the button yet: exit code 1)"
run "$bin/qxvtoken" remove demo-hid
run "$bin/qxvtoken" list

# The middleware as installed: the tool beside the kernel, its transport and
# algorithm libraries, and a Config.ini that names the virtual token's
# channels.
install=$(mktemp -d)
cp "$bin/qxtoken" "$bin/QXTokenKernel.so" "$bin/QXDevice.so" "$bin/QXSoftAlg.so" "$install/"
printf '\xef\xbb\xbf[DeviceInfo]\r\nVirtualReaderWords = VToken CCID\r\nUMSFilterWords = VToken UMS\r\nHIDFilterWords = VToken HID\r\n' \
  > "$install/Config.ini"
echo
echo "the middleware is installed in $install"
run "$bin/qxvtoken" create --channel ccid walk
run "$install/qxtoken" list
run "$install/qxtoken" --token walk init --label Walkthrough
run "$install/qxtoken" --token walk info
# The default PIN must be changed before it can be used.
run "$install/qxtoken" --token walk pin verify --pin 314159 || echo "(refused, as it should be)"
run "$install/qxtoken" --token walk pin change --old 314159 --new 24680135
run "$install/qxtoken" --token walk pin verify --pin 24680135
run "$install/qxtoken" --token walk pin verify --pin 11111111 || echo "(refused, as it should be)"
run "$install/qxtoken" --token walk pin retries
run "$install/qxtoken" --token walk info
run "$bin/qxvtoken" remove walk
run "$bin/qxvtoken" remove demo
rm -rf "$install"
