#!/usr/bin/env bash
# QXP11 with the token in a PC/SC reader: `qxvtoken serve` puts a virtual
# token into vpcd's second reader ("Virtual PCD 00 01", port 35964; the reader
# tests use the first), the kernel finds it by its reader word list, and
# pkcs11-tool initialises it, makes a key pair and signs, and OpenSSL signs
# through its pkcs11 engine (openssl verifies both).
# Then a session is open when the serving process is killed: the module
# reports the token gone, and finds it again once it is served again.
# Usage: pcscd_test.sh BIN_DIR.  Needs pcscd running with vsmartcard-vpcd
# (scripts/start-pcscd.sh); anything missing fails the test.
set -euo pipefail
bin=$1
port=35964
fail() { echo "FAILED: $*"; exit 1; }
for tool in pkcs11-tool openssl /usr/bin/python3; do
  command -v "$tool" > /dev/null || fail "$tool is not installed (scripts/install-deps.sh)"
done
engine=/usr/lib/x86_64-linux-gnu/engines-3/pkcs11.so
[ -f "$engine" ] || engine=$(find /usr/lib -path '*engines-3/pkcs11.so' 2> /dev/null | head -n 1)
[ -n "$engine" ] && [ -f "$engine" ] || fail "libengine-pkcs11-openssl is not installed (scripts/install-deps.sh)"
/usr/bin/python3 -c "import PyKCS11" 2> /dev/null || fail "python3-pykcs11 is not installed (scripts/install-deps.sh)"
[ -f /etc/reader.conf.d/vpcd ] || fail "vsmartcard-vpcd is not installed (scripts/install-deps.sh)"
[ -S /run/pcscd/pcscd.comm ] || fail "pcscd is not running (scripts/start-pcscd.sh starts it)"

work=$(mktemp -d)
server=""
stop_serving() {
  if [ -n "$server" ]; then
    kill "$server" 2> /dev/null || true
    wait "$server" 2> /dev/null || true
    server=""
  fi
}
trap 'stop_serving; rm -rf "$work"' EXIT
export QX_VTOKEN_HOME=$work/tokens
mkdir -p "$QX_VTOKEN_HOME" "$work/inst"
inst=$work/inst
cp "$bin/QXP11.so" "$bin/QXTokenKernel.so" "$bin/QXDevice.so" "$bin/QXSoftAlg.so" "$inst/"
# Only the second vpcd reader is a CCID device here; the virtual tokens' own
# names ("Quorvantix VToken CCID ...") match none of the lists.
printf '\xef\xbb\xbf[QXTokenInfo]\r\nCSPName = P11 pcscd test %s\r\n[DeviceInfo]\r\nVirtualReaderWords = PCD 00 01\r\nUMSFilterWords = VToken UMS\r\nHIDFilterWords = VToken HID\r\n[InitKeypairsNum]\r\nRSA2048 = 2\r\n' "$$" \
  > "$inst/Config.ini"
"$bin/qxvtoken" create --channel ccid served > /dev/null
# Not plugged in as a virtual token: reachable through the reader only.
"$bin/qxvtoken" unplug served > /dev/null

serve() {  # starts serving and waits until the reader has taken the card
  "$bin/qxvtoken" serve --port "$port" served > "$work/serve.log" 2>&1 &
  server=$!
  for _ in $(seq 50); do
    grep -q "in the virtual reader" "$work/serve.log" && return 0
    kill -0 "$server" 2> /dev/null || break
    sleep 0.1
  done
  cat "$work/serve.log"
  fail "qxvtoken serve did not put the token into the reader on port $port"
}
serve

p11() { pkcs11-tool --module "$inst/QXP11.so" "$@"; }
expect() {  # expect TEXT COMMAND...: the command succeeds and prints TEXT
  local text=$1; shift
  local out
  out=$("$@" 2>&1) || { echo "$out"; fail "$*"; }
  grep -qF -- "$text" <<< "$out" || { echo "$out"; fail "'$text' not in the output of: $*"; }
}

# pcscd notices a new card within a moment.
for _ in $(seq 50); do
  p11 --list-slots 2> /dev/null | grep -q "token state:   uninitialized" && break
  sleep 0.1
done
expect "token state:   uninitialized" p11 --list-slots
expect "Token successfully initialized" p11 --init-token --label Served --so-pin 87654321
expect "User PIN successfully initialized" p11 --init-pin --login --login-type so --so-pin 87654321 --pin 123456
expect "Key pair generated" p11 --login --pin 123456 --keypairgen --key-type rsa:2048 --label reader-key
echo "signed through the reader" > "$work/doc.txt"
p11 --login --pin 123456 --sign --mechanism SHA256-RSA-PKCS --label reader-key -i "$work/doc.txt" -o "$work/doc.sig" \
  > /dev/null 2>&1 || fail "signing through pcscd"
p11 --read-object --type pubkey --label reader-key -o "$work/pub.der" > /dev/null 2>&1 || fail "reading the public key"
openssl dgst -sha256 -verify "$work/pub.der" -keyform DER -signature "$work/doc.sig" "$work/doc.txt" > /dev/null \
  || fail "openssl does not verify the signature made through the reader"
openssl pkey -pubin -inform DER -in "$work/pub.der" -out "$work/pub.pem"
# OpenSSL through the pkcs11 engine, pointed at this module by its own
# openssl.cnf.  (`openssl -engine` makes the engine the process's default for
# every algorithm; the card OS of a token in this process would then find its
# own RSA keys routed to the engine, so this runs with the token in the reader.)
cat > "$work/openssl.cnf" << CNF
openssl_conf = openssl_init
[openssl_init]
engines = engine_section
[engine_section]
pkcs11 = pkcs11_section
[pkcs11_section]
engine_id = pkcs11
dynamic_path = $engine
MODULE_PATH = $inst/QXP11.so
init = 0
CNF
engine_sign() {  # engine_sign PIN OUT
  OPENSSL_CONF=$work/openssl.cnf openssl pkeyutl -engine pkcs11 -keyform engine \
    -inkey "pkcs11:object=reader-key;type=private;pin-value=$1" -sign -pkeyopt digest:sha256 \
    -in "$work/doc.sha256" -out "$2"
}
openssl dgst -sha256 -binary "$work/doc.txt" > "$work/doc.sha256"
engine_sign 123456 "$work/engine.sig" > "$work/engine.log" 2>&1 || { cat "$work/engine.log"; fail "engine signing"; }
openssl dgst -sha256 -verify "$work/pub.pem" -signature "$work/engine.sig" "$work/doc.txt" > /dev/null \
  || fail "openssl does not verify the signature made through the engine"
if engine_sign 000000 "$work/bad.sig" > /dev/null 2>&1; then fail "the engine signed with a wrong PIN"; fi

# The token keeps what the reader's commands did: the key pair is in the stored token.
"$bin/qxvtoken" dump served | grep -q "RSA2048 private key.*present" || fail "the stored token has no key pair"

# Killed mid-session, then served again.
/usr/bin/python3 - "$inst/QXP11.so" "$server" "$bin/qxvtoken" "$port" << 'PY' || fail "token gone and back through pcscd"
import os, signal, subprocess, sys, time
import PyKCS11 as P
module, pid, qxvtoken, port = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
lib = P.PyKCS11Lib()
lib.load(module)
mech = P.Mechanism(P.CKM_SHA256_RSA_PKCS, None)

def signing_session():
    slots = lib.getSlotList(tokenPresent=True)
    assert len(slots) == 1, slots
    s = lib.openSession(slots[0], P.CKF_SERIAL_SESSION)
    s.login("123456")
    key = s.findObjects([(P.CKA_CLASS, P.CKO_PRIVATE_KEY), (P.CKA_LABEL, "reader-key")])[0]
    assert len(s.sign(key, b"before", mech)) == 256
    return s, key

s, key = signing_session()
os.kill(pid, signal.SIGKILL)
gone = (P.CKR_DEVICE_REMOVED, P.CKR_TOKEN_NOT_PRESENT, P.CKR_SESSION_HANDLE_INVALID, P.CKR_DEVICE_ERROR)
try:
    s.sign(key, b"after", mech)
    raise SystemExit("a signature after the token was taken away")
except P.PyKCS11Error as e:
    assert e.value in (P.CKR_DEVICE_REMOVED, P.CKR_TOKEN_NOT_PRESENT), e
    print("signing after the kill:", e)
# The session went with the token, and no slot has a token any more.
try:
    s.getSessionInfo()
    raise SystemExit("the session outlived its token")
except P.PyKCS11Error as e:
    assert e.value in gone, e
assert lib.getSlotList(tokenPresent=True) == [], lib.getSlotList(tokenPresent=True)

server = subprocess.Popen([qxvtoken, "serve", "--port", port, "served"], stdout=subprocess.PIPE, text=True)
try:
    assert "in the virtual reader" in server.stdout.readline()
    deadline = time.time() + 10
    while not lib.getSlotList(tokenPresent=True) and time.time() < deadline:
        time.sleep(0.1)
    s, key = signing_session()
    print("served again: signed after", s.getSessionInfo().state)
    s.logout()
    s.closeSession()
finally:
    server.kill()
    server.wait()
PY
stop_serving
echo "pcscd test passed"
