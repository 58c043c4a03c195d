#!/usr/bin/env bash
# The main job on the embedded virtual token: builds the native tree and walks
# through a virtual token's life with the command-line tools: the token
# itself (qxvtoken), then the middleware on it (qxtoken: initialise, change
# the default PIN, verify, show the token information, make containers and
# key pairs on the token, sign files and check the signatures with OpenSSL,
# sign a transaction confirmed with the token's button, put a certificate on
# the token).
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

# The middleware as installed: cmake --install lays out the program
# directory (the tool beside the kernel, its transport and algorithm
# libraries, Config.ini with the virtual token's channel words, the language
# files).
install=$(mktemp -d)
cmake --install build/native --prefix "$install" >/dev/null
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

# Containers and key pairs made on the token; signatures checked by OpenSSL.
pin=(--pin 24680135)
work=$(mktemp -d)
echo "Pay 100.00 to account 12345" > "$work/order.txt"
q() { run "$install/qxtoken" --token walk "$@"; }
q container create mail --type rsa "${pin[@]}"
q container create gov --type sm2 "${pin[@]}"
q keys generate --container mail --type rsa2048 "${pin[@]}"
q keys generate --container gov --type sm2 "${pin[@]}"
q keys list
q container list
q pubkey export --container mail --out "$work/mail.pem"
q pubkey export --container gov --out "$work/gov.pem"
q sign --container mail --in "$work/order.txt" --hash sha256 --out "$work/order.rsa.sig" "${pin[@]}"
run openssl dgst -sha256 -verify "$work/mail.pem" -signature "$work/order.rsa.sig" "$work/order.txt"
q sign --container gov --in "$work/order.txt" --hash sm3 --out "$work/order.sm2.sig" "${pin[@]}"
run openssl pkeyutl -verify -pubin -inkey "$work/gov.pem" -rawin -digest sm3 \
  -pkeyopt distid:1234567812345678 -sigfile "$work/order.sm2.sig" -in "$work/order.txt"
q digest --alg sm3 --on-token "$work/order.txt"
q random 16 --on-token

# A transaction: the token shows the data and signs only once its button is
# pressed (here by a second process after two seconds).
( sleep 2; "$bin/qxvtoken" press walk >/dev/null ) &
q transaction sign --container mail --in "$work/order.txt" --hash sha256 --out "$work/order.tx.sig" "${pin[@]}"
wait
run openssl dgst -sha256 -verify "$work/mail.pem" -signature "$work/order.tx.sig" "$work/order.txt"

# A certificate for the RSA key pair, written to the token beside it.
run openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/ca.key" -subj "/CN=Walkthrough CA" \
  -days 30 -out "$work/cert.pem" 2>/dev/null
q cert write --container mail --in "$work/cert.pem" "${pin[@]}"
q cert list
q container delete gov "${pin[@]}"
q container list
rm -rf "$work"
run "$bin/qxvtoken" remove walk
run "$bin/qxvtoken" remove demo
rm -rf "$install"
