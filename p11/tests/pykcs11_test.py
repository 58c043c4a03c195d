#!/usr/bin/python3
"""QXP11 through Python's PyKCS11 (and raw ctypes calls where PyKCS11 cannot
pass a null pointer or a short buffer): several sessions and threads, the
attribute-length rules, a wrong PIN counted down to CKR_PIN_LOCKED, a token
pulled out mid-session and plugged in again, bad arguments.

Usage: pykcs11_test.py BIN_DIR   (fails when PyKCS11 is not installed)"""
import ctypes
import os
import shutil
import subprocess
import sys
import tempfile
import threading

try:
    import PyKCS11 as P
except ImportError:
    print("FAILED: PyKCS11 is not installed (python3-pykcs11, scripts/install-deps.sh)")
    sys.exit(1)

BIN = sys.argv[1]
SO_PIN, USER_PIN = "87654321", "123456"
TOKEN = "pytest"
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAILED:", what)


def rv_name(rv):
    return P.CKR.get(rv, hex(rv))


def expect_rv(rv, wanted, what):
    wanted = wanted if isinstance(wanted, tuple) else (wanted,)
    check(rv in wanted, "%s: %s, wanted %s" % (what, rv_name(rv), "/".join(rv_name(w) for w in wanted)))


def qxvtoken(*args):
    subprocess.run([os.path.join(BIN, "qxvtoken")] + list(args), check=True, stdout=subprocess.DEVNULL)


work = tempfile.mkdtemp(prefix="qxp11py")
os.environ["QX_VTOKEN_HOME"] = os.path.join(work, "tokens")
os.makedirs(os.environ["QX_VTOKEN_HOME"])
inst = os.path.join(work, "inst")
os.makedirs(inst)
for name in ("QXP11.so", "QXTokenKernel.so", "QXDevice.so", "QXSoftAlg.so"):
    shutil.copy(os.path.join(BIN, name), inst)
with open(os.path.join(inst, "Config.ini"), "wb") as f:
    f.write(("\ufeff[QXTokenInfo]\r\nCSPName = P11 python test %d\r\n[DeviceInfo]\r\n"
             "VirtualReaderWords = VToken CCID\r\nUMSFilterWords = VToken UMS\r\nHIDFilterWords = VToken HID\r\n"
             "[InitKeypairsNum]\r\nRSA2048 = 2\r\nSM2256 = 1\r\n" % os.getpid()).encode("utf-8"))
qxvtoken("create", "--channel", "ccid", TOKEN)
module = os.path.join(inst, "QXP11.so")

lib = P.PyKCS11Lib()
lib.load(module)
# The same loaded module, for calls with null pointers and exact buffer lengths.
raw = ctypes.CDLL(module)
ULONG = ctypes.c_ulong
UNAVAILABLE = ULONG(-1).value


class Attribute(ctypes.Structure):
    _fields_ = [("type", ULONG), ("pValue", ctypes.c_void_p), ("ulValueLen", ULONG)]


class Mechanism(ctypes.Structure):
    _fields_ = [("mechanism", ULONG), ("pParameter", ctypes.c_void_p), ("ulParameterLen", ULONG)]


def open_raw(slot, flags=P.CKF_SERIAL_SESSION | P.CKF_RW_SESSION):
    h = ULONG()
    rv = raw.C_OpenSession(ULONG(slot), ULONG(flags), None, None, ctypes.byref(h))
    return rv, h.value


# Set-up: initialise the blank token, the SO sets the user PIN, one RSA key pair.
slot = lib.getSlotList(tokenPresent=True)[0]
lib.initToken(slot, SO_PIN, "PyTest".ljust(32))  # a label is 32 padded bytes
s = lib.openSession(slot, P.CKF_SERIAL_SESSION | P.CKF_RW_SESSION)
s.login(SO_PIN, P.CKU_SO)
s.initPin(USER_PIN)
s.logout()
s.login(USER_PIN)
pub, priv = s.generateKeyPair([(P.CKA_MODULUS_BITS, 2048)], [(P.CKA_LABEL, "pysigner")],
                              mecha=P.MechanismRSAGENERATEKEYPAIR)

# --- several sessions and threads share one login ---------------------------------------
sessions = [lib.openSession(slot, P.CKF_SERIAL_SESSION) for _ in range(4)]
check(sessions[0].getSessionInfo().state == P.CKS_RO_USER_FUNCTIONS, "a new session shares the login")
results, errors = {}, []


def signer(index, session):
    try:
        for n in range(3):
            data = ("thread %d message %d" % (index, n)).encode()
            sig = bytes(session.sign(priv, data, P.Mechanism(P.CKM_SHA256_RSA_PKCS, None)))
            results[(index, n)] = (data, sig)
    except Exception as e:  # reported below, the thread must not die silently
        errors.append("thread %d: %s" % (index, e))


threads = [threading.Thread(target=signer, args=(i, x)) for i, x in enumerate(sessions)]
for t in threads:
    t.start()
for t in threads:
    t.join()
check(not errors, "signing from several threads: %s" % errors)
check(len(results) == 12, "every thread signed three messages (%d signatures)" % len(results))
for (i, n), (data, sig) in results.items():
    check(s.verify(pub, data, sig, P.Mechanism(P.CKM_SHA256_RSA_PKCS, None)),
          "the signature of thread %d message %d verifies" % (i, n))
    other = data + b"!"
    check(not s.verify(pub, other, sig, P.Mechanism(P.CKM_SHA256_RSA_PKCS, None)),
          "the signature of thread %d message %d does not verify other data" % (i, n))
# Closing one session keeps the login of the others; closing all of them ends it.
sessions[0].closeSession()
check(sessions[1].getSessionInfo().state == P.CKS_RO_USER_FUNCTIONS, "the login outlives one closed session")

# --- attribute-length rules (raw calls on a session of our own) ------------------------
rv, h = open_raw(slot)
expect_rv(rv, P.CKR_OK, "raw C_OpenSession")
pub_h, priv_h = pub.value(), priv.value()


def get_attrs(obj, items):
    """items: (type, buffer length or None for a null pointer); returns rv and the lengths."""
    arr = (Attribute * len(items))()
    keep = []
    for i, (t, length) in enumerate(items):
        arr[i].type = t
        if length is None:
            arr[i].pValue, arr[i].ulValueLen = None, 0
        else:
            buf = ctypes.create_string_buffer(max(length, 1))
            keep.append(buf)
            arr[i].pValue, arr[i].ulValueLen = ctypes.cast(buf, ctypes.c_void_p), length
    rv = raw.C_GetAttributeValue(ULONG(h), ULONG(obj), arr, ULONG(len(items)))
    return rv, [a.ulValueLen for a in arr]


# (object, template, wanted rv, wanted lengths; None: any length but UNAVAILABLE)
attribute_cases = [
    ("modulus length asked", pub_h, [(P.CKA_MODULUS, None)], P.CKR_OK, [256]),
    ("modulus, exact buffer", pub_h, [(P.CKA_MODULUS, 256)], P.CKR_OK, [256]),
    ("modulus, short buffer", pub_h, [(P.CKA_MODULUS, 255)], P.CKR_BUFFER_TOO_SMALL, [UNAVAILABLE]),
    ("modulus, large buffer", pub_h, [(P.CKA_MODULUS, 400)], P.CKR_OK, [256]),
    ("unknown attribute", pub_h, [(0x7fff0001, 16)], P.CKR_ATTRIBUTE_TYPE_INVALID, [UNAVAILABLE]),
    ("sensitive private exponent", priv_h, [(P.CKA_PRIVATE_EXPONENT, 256)], P.CKR_ATTRIBUTE_SENSITIVE,
     [UNAVAILABLE]),
    ("the others are still filled in", priv_h,
     [(P.CKA_PRIVATE_EXPONENT, 256), (P.CKA_CLASS, 8), (P.CKA_KEY_TYPE, 8)], P.CKR_ATTRIBUTE_SENSITIVE,
     [UNAVAILABLE, 8, 8]),
    ("short and unknown together", pub_h, [(P.CKA_MODULUS, 4), (0x7fff0001, 4), (P.CKA_CLASS, 8)],
     (P.CKR_BUFFER_TOO_SMALL, P.CKR_ATTRIBUTE_TYPE_INVALID), [UNAVAILABLE, UNAVAILABLE, 8]),
    ("boolean, short buffer", priv_h, [(P.CKA_SIGN, 0)], P.CKR_BUFFER_TOO_SMALL, [UNAVAILABLE]),
    ("empty template", pub_h, [], P.CKR_OK, []),
]
for what, obj, template, wanted_rv, wanted_lengths in attribute_cases:
    rv, lengths = get_attrs(obj, template)
    expect_rv(rv, wanted_rv, "C_GetAttributeValue, " + what)
    check(lengths == wanted_lengths, "C_GetAttributeValue, %s: lengths %s, wanted %s" % (what, lengths, wanted_lengths))

# --- bad arguments answered with return values ------------------------------------------
bad = ULONG(0x7fffff)
mech_bad = Mechanism(0x7fff1234, None, 0)
mech_rsa = Mechanism(P.CKM_RSA_PKCS, None, 0)
count = ULONG()
out = ctypes.create_string_buffer(512)
out_len = ULONG(512)
argument_cases = [
    ("C_GetSlotList, null count", lambda: raw.C_GetSlotList(1, None, None), P.CKR_ARGUMENTS_BAD),
    ("C_GetTokenInfo, unknown slot", lambda: raw.C_GetTokenInfo(bad, out), P.CKR_SLOT_ID_INVALID),
    ("C_GetTokenInfo, null info", lambda: raw.C_GetTokenInfo(ULONG(slot), None), P.CKR_ARGUMENTS_BAD),
    ("C_OpenSession, unknown slot", lambda: open_raw(0x7fffff)[0], P.CKR_SLOT_ID_INVALID),
    ("C_OpenSession, not serial", lambda: open_raw(slot, 0)[0], P.CKR_SESSION_PARALLEL_NOT_SUPPORTED),
    ("C_OpenSession, null handle",
     lambda: raw.C_OpenSession(ULONG(slot), ULONG(P.CKF_SERIAL_SESSION), None, None, None), P.CKR_ARGUMENTS_BAD),
    ("C_CloseSession, unknown session", lambda: raw.C_CloseSession(bad), P.CKR_SESSION_HANDLE_INVALID),
    ("C_Login, unknown user type", lambda: raw.C_Login(ULONG(h), ULONG(7), b"123456", ULONG(6)),
     P.CKR_USER_TYPE_INVALID),
    ("C_Login, null PIN with a length", lambda: raw.C_Login(ULONG(h), ULONG(P.CKU_SO), None, ULONG(6)),
     P.CKR_ARGUMENTS_BAD),
    ("C_SignInit, null mechanism", lambda: raw.C_SignInit(ULONG(h), None, ULONG(priv_h)), P.CKR_ARGUMENTS_BAD),
    ("C_SignInit, unknown mechanism", lambda: raw.C_SignInit(ULONG(h), ctypes.byref(mech_bad), ULONG(priv_h)),
     P.CKR_MECHANISM_INVALID),
    ("C_SignInit, unknown key", lambda: raw.C_SignInit(ULONG(h), ctypes.byref(mech_rsa), bad),
     P.CKR_KEY_HANDLE_INVALID),
    ("C_Sign, not initialised", lambda: raw.C_Sign(ULONG(h), b"x", ULONG(1), out, ctypes.byref(out_len)),
     P.CKR_OPERATION_NOT_INITIALIZED),
    ("C_FindObjectsInit, null template with a count", lambda: raw.C_FindObjectsInit(ULONG(h), None, ULONG(2)),
     P.CKR_ARGUMENTS_BAD),
    ("C_FindObjects, not initialised",
     lambda: raw.C_FindObjects(ULONG(h), out, ULONG(1), ctypes.byref(count)), P.CKR_OPERATION_NOT_INITIALIZED),
    ("C_GetAttributeValue, unknown object", lambda: get_attrs(0x7fffff, [(P.CKA_CLASS, 8)])[0],
     P.CKR_OBJECT_HANDLE_INVALID),
    ("C_GetAttributeValue, null template with a count",
     lambda: raw.C_GetAttributeValue(ULONG(h), ULONG(pub_h), None, ULONG(1)), P.CKR_ARGUMENTS_BAD),
    ("C_GenerateRandom, null buffer", lambda: raw.C_GenerateRandom(ULONG(h), None, ULONG(8)), P.CKR_ARGUMENTS_BAD),
    ("C_DigestInit, null mechanism", lambda: raw.C_DigestInit(ULONG(h), None), P.CKR_ARGUMENTS_BAD),
    ("C_Finalize, reserved pointer", lambda: raw.C_Finalize(ctypes.c_void_p(1)), P.CKR_ARGUMENTS_BAD),
    ("C_Initialize twice", lambda: raw.C_Initialize(None), P.CKR_CRYPTOKI_ALREADY_INITIALIZED),
]
for what, call_it, wanted in argument_cases:
    expect_rv(call_it(), wanted, what)

# A short signature buffer reports the length and keeps the operation for the real call.
expect_rv(raw.C_SignInit(ULONG(h), ctypes.byref(mech_rsa), ULONG(priv_h)), P.CKR_OK, "C_SignInit CKM_RSA_PKCS")
digest_info = bytes(35)
short = ULONG(100)
expect_rv(raw.C_Sign(ULONG(h), digest_info, ULONG(35), out, ctypes.byref(short)), P.CKR_BUFFER_TOO_SMALL,
          "C_Sign, short buffer")
check(short.value == 256, "C_Sign, short buffer: length %d, wanted 256" % short.value)
full = ULONG(512)
expect_rv(raw.C_Sign(ULONG(h), digest_info, ULONG(35), out, ctypes.byref(full)), P.CKR_OK, "C_Sign after a short buffer")
check(full.value == 256, "C_Sign: %d bytes" % full.value)
expect_rv(raw.C_CloseSession(ULONG(h)), P.CKR_OK, "raw C_CloseSession")
expect_rv(raw.C_GetAttributeValue(ULONG(h), ULONG(pub_h), None, ULONG(0)), P.CKR_SESSION_HANDLE_INVALID,
          "a closed session")

# --- a token pulled out mid-session, then plugged in again -------------------------------
for x in sessions[1:]:
    x.closeSession()
qxvtoken("unplug", TOKEN)
try:
    s.sign(priv, b"after unplugging", P.Mechanism(P.CKM_SHA256_RSA_PKCS, None))
    check(False, "signing with the token pulled out succeeded")
except P.PyKCS11Error as e:
    expect_rv(e.value, (P.CKR_DEVICE_REMOVED, P.CKR_TOKEN_NOT_PRESENT, P.CKR_SESSION_HANDLE_INVALID),
              "signing with the token pulled out")
try:
    s.findObjects([(P.CKA_CLASS, P.CKO_PRIVATE_KEY)])
    check(False, "the old session still answers after the token left")
except P.PyKCS11Error as e:
    expect_rv(e.value, (P.CKR_SESSION_HANDLE_INVALID, P.CKR_DEVICE_REMOVED, P.CKR_TOKEN_NOT_PRESENT),
              "the old session after the token left")
check(slot not in lib.getSlotList(tokenPresent=True), "the slot disappears with its token")
expect_rv(open_raw(slot)[0], (P.CKR_SLOT_ID_INVALID, P.CKR_TOKEN_NOT_PRESENT, P.CKR_DEVICE_REMOVED),
          "C_OpenSession with the token pulled out")

qxvtoken("plug", TOKEN)
check(slot in lib.getSlotList(tokenPresent=True), "the slot is back with its token")
s = lib.openSession(slot, P.CKF_SERIAL_SESSION | P.CKF_RW_SESSION)
check(s.getSessionInfo().state == P.CKS_RW_PUBLIC_SESSION, "the token's login went with it")
s.login(USER_PIN)
keys = s.findObjects([(P.CKA_CLASS, P.CKO_PRIVATE_KEY), (P.CKA_LABEL, "pysigner")])
check(len(keys) == 1, "the key is found again (%d)" % len(keys))
if keys:
    pubs = s.findObjects([(P.CKA_CLASS, P.CKO_PUBLIC_KEY), (P.CKA_LABEL, "pysigner")])
    sig = bytes(s.sign(keys[0], b"after plugging in", P.Mechanism(P.CKM_SHA256_RSA_PKCS, None)))
    check(s.verify(pubs[0], b"after plugging in", sig, P.Mechanism(P.CKM_SHA256_RSA_PKCS, None)),
          "the token signs again after it is plugged in")
s.logout()

# --- a wrong PIN counted down to CKR_PIN_LOCKED, then the SO unblocks it -----------------
def user_flags():
    return lib.getTokenInfo(slot).flags


seen = []
for attempt in range(20):
    try:
        s.login("000000")
        check(False, "a wrong PIN logged in")
        break
    except P.PyKCS11Error as e:
        seen.append(e.value)
        if e.value != P.CKR_PIN_INCORRECT:
            break
        if attempt == 0:
            check(user_flags() & P.CKF_USER_PIN_COUNT_LOW, "CKF_USER_PIN_COUNT_LOW after a wrong PIN")
check(len(seen) >= 2 and all(v == P.CKR_PIN_INCORRECT for v in seen[:-1]) and seen[-1] == P.CKR_PIN_LOCKED,
      "wrong PINs count down to CKR_PIN_LOCKED: %s" % [rv_name(v) for v in seen])
check(user_flags() & P.CKF_USER_PIN_LOCKED, "CKF_USER_PIN_LOCKED once blocked")
try:
    s.login(USER_PIN)
    check(False, "the right PIN logs in to a blocked token")
except P.PyKCS11Error as e:
    expect_rv(e.value, P.CKR_PIN_LOCKED, "the right PIN on a blocked token")
s.login(SO_PIN, P.CKU_SO)
s.initPin(USER_PIN)
s.logout()
s.login(USER_PIN)
check(not user_flags() & (P.CKF_USER_PIN_LOCKED | P.CKF_USER_PIN_COUNT_LOW), "the SO's new PIN clears the count")
s.logout()
s.closeSession()

shutil.rmtree(work, ignore_errors=True)
if failures:
    print("%d failure(s)" % len(failures))
    sys.exit(1)
print("PyKCS11 test passed")
