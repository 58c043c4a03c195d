#!/usr/bin/env bash
# OpenSC's pkcs11-tool, GnuTLS's p11tool, Python's PyKCS11 and OpenSSH's
# ssh-keygen against QXP11 on a fresh virtual token: slots, login, objects,
# key generation, a signature that openssl verifies, a certificate written to
# the token, a PIN change, the public key as ssh-keygen lists it.
# Usage: pkcs11_tool_test.sh BIN_DIR.  A missing client fails the test
# (scripts/install-deps.sh installs them all).
set -euo pipefail
bin=$1
missing=""
for tool in pkcs11-tool openssl p11tool ssh-keygen /usr/bin/python3; do
  command -v "$tool" > /dev/null || missing+=" $tool"
done
/usr/bin/python3 -c "import PyKCS11" 2> /dev/null || missing+=" python3-pykcs11"
[ -z "$missing" ] || { echo "FAILED: not installed:$missing (scripts/install-deps.sh)"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export QX_VTOKEN_HOME=$work/tokens
mkdir -p "$QX_VTOKEN_HOME" "$work/inst"
inst=$work/inst
cp "$bin/QXP11.so" "$bin/QXTokenKernel.so" "$bin/QXDevice.so" "$bin/QXSoftAlg.so" "$inst/"
printf '\xef\xbb\xbf[QXTokenInfo]\r\nCSPName = P11 tool test %s\r\n[DeviceInfo]\r\nVirtualReaderWords = VToken CCID\r\nUMSFilterWords = VToken UMS\r\nHIDFilterWords = VToken HID\r\n[InitKeypairsNum]\r\nRSA2048 = 2\r\nSM2256 = 2\r\n' "$$" \
  > "$inst/Config.ini"
"$bin/qxvtoken" create --channel ccid tooltest > /dev/null

p11() { pkcs11-tool --module "$inst/QXP11.so" "$@"; }
fail() { echo "FAILED: $*"; exit 1; }
expect() {  # expect TEXT COMMAND...: the command succeeds and prints TEXT
  local text=$1; shift
  local out
  out=$("$@" 2>&1) || { echo "$out"; fail "$*"; }
  grep -qF -- "$text" <<< "$out" || { echo "$out"; fail "'$text' not in the output of: $*"; }
}

# A blank token, initialised through the module; the SO sets the user PIN.
expect "token state:   uninitialized" p11 --list-slots
expect "Token successfully initialized" p11 --init-token --label ToolTest --so-pin 87654321
expect "User PIN successfully initialized" p11 --init-pin --login --login-type so --so-pin 87654321 --pin 123456
expect "token label        : ToolTest" p11 --list-slots
expect "SHA256-RSA-PKCS" p11 --list-mechanisms

expect "Key pair generated" p11 --login --pin 123456 --keypairgen --key-type rsa:2048 --label signer
expect "label:      signer" p11 --list-objects
objects=$(p11 --login --pin 123456 --list-objects --type privkey 2>&1)
grep -q "sensitive" <<< "$objects" || fail "the private key is not sensitive: $objects"
grep -q "never extractable" <<< "$objects" || fail "the private key is extractable: $objects"
id=$(p11 --list-objects --type pubkey 2>/dev/null | awk '/ID:/ {print $2; exit}')
[ ${#id} = 40 ] || fail "no 20-byte key identifier ($id)"

echo "a document signed by the token" > "$work/doc.txt"
p11 --login --pin 123456 --sign --mechanism SHA256-RSA-PKCS --id "$id" -i "$work/doc.txt" -o "$work/doc.sig" \
  > /dev/null 2>&1 || fail "signing"
p11 --read-object --type pubkey --id "$id" -o "$work/pub.der" > /dev/null 2>&1 || fail "reading the public key"
openssl dgst -sha256 -verify "$work/pub.der" -keyform DER -signature "$work/doc.sig" "$work/doc.txt" > /dev/null \
  || fail "openssl does not verify the token's signature"
echo "a different document" > "$work/other.txt"
if openssl dgst -sha256 -verify "$work/pub.der" -keyform DER -signature "$work/doc.sig" "$work/other.txt" > /dev/null 2>&1; then
  fail "the signature verifies a different document"
fi

# A certificate for the token's key, issued by a throw-away authority.
openssl req -new -x509 -newkey rsa:2048 -nodes -keyout "$work/ca.key" -subj /CN=ToolTestCA -out "$work/ca.pem" \
  -days 2 > /dev/null 2>&1
openssl pkey -pubin -inform DER -in "$work/pub.der" -out "$work/pub.pem"
openssl req -new -key "$work/ca.key" -subj /CN=signer -out "$work/req.csr" > /dev/null 2>&1
openssl x509 -req -in "$work/req.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" -force_pubkey "$work/pub.pem" \
  -days 2 -outform DER -out "$work/signer.der" > /dev/null 2>&1
expect "Created certificate" p11 --login --pin 123456 --write-object "$work/signer.der" --type cert --id "$id"
expect "subject:    DN: CN=signer" p11 --list-objects --type cert
p11 --read-object --type cert --id "$id" -o "$work/back.der" > /dev/null 2>&1
cmp -s "$work/signer.der" "$work/back.der" || fail "the certificate read back differs"

expect "PIN successfully changed" p11 --login --pin 123456 --change-pin --new-pin 654321
if p11 --login --pin 123456 --list-objects > /dev/null 2>&1; then fail "the old PIN still logs in"; fi
expect "Private Key Object" p11 --login --pin 654321 --list-objects --type privkey
expect "No errors" p11 --login --pin 654321 --test

expect "Type: X.509 Certificate" p11tool --provider "$inst/QXP11.so" --list-all
expect "Verifying against public key in the token... ok" \
  env GNUTLS_PIN=654321 p11tool --provider "$inst/QXP11.so" --login --test-sign "pkcs11:object=signer;type=private"

# OpenSSH lists the token's public key; it must be the key pkcs11-tool reads.
ssh-keygen -D "$inst/QXP11.so" > "$work/ssh.pub" 2> "$work/ssh.log" || { cat "$work/ssh.log"; fail "ssh-keygen -D"; }
expected=$(ssh-keygen -i -m PKCS8 -f "$work/pub.pem" | awk '{print $1, $2}')
grep -qF "$expected" "$work/ssh.pub" || { cat "$work/ssh.pub"; fail "ssh-keygen lists another key than $expected"; }

# Python's PyKCS11 (Debian's interpreter, which has the package, not one earlier
# on PATH): an SM2 key pair and signature through this token's own mechanisms.
/usr/bin/python3 - "$inst/QXP11.so" << 'PY' || fail "PyKCS11 with the SM2 mechanisms"
import sys
import PyKCS11 as P
lib = P.PyKCS11Lib()
lib.load(sys.argv[1])
slot = lib.getSlotList(tokenPresent=True)[0]
assert lib.getTokenInfo(slot).label.strip() == "ToolTest"
s = lib.openSession(slot, P.CKF_SERIAL_SESSION | P.CKF_RW_SESSION)
s.login("654321")
pub, priv = s.generateKeyPair([], [(P.CKA_LABEL, "sm2py")], mecha=P.Mechanism(0x80005101, None))
point = bytes(s.getAttributeValue(pub, [P.CKA_EC_POINT])[0])
assert len(point) == 67 and point[:3] == bytes([4, 65, 4]), point.hex()
sig = bytes(s.sign(priv, b"signed from python", P.Mechanism(0x80005103, None)))
assert len(sig) == 64, len(sig)
s.logout()
s.closeSession()
print("PyKCS11: SM2 signature of", len(sig), "bytes")
PY
echo "pkcs11-tool test passed"
