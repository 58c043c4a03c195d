#!/usr/bin/env python3
"""Computes the expected bytes used by the kernel tests with an independent
implementation (Python's hashlib and the `cryptography` package).  Run it to
re-check a constant in the tests; it prints each vector in hexadecimal."""
import hashlib
import warnings

warnings.filterwarnings("ignore")
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

try:
    from cryptography.hazmat.decrepit.ciphers.algorithms import ARC4, TripleDES
except ImportError:  # older cryptography
    ARC4, TripleDES = algorithms.ARC4, algorithms.TripleDES

SALTS = ["Qv7#mLx2Rt9p", "hB4!zN8wKe3s", "Tg6$yP1cVo5j", "Xa2%uD9rMf7q", "Lk8&nS3eWb6z", "Cy5*oJ4tHg1v",
         "Pe9(iR2mZx8d", "Wn3)aF7kQs4u", "Jr1-bT6yNc9h", "Ds4+gV8pLm2w", "Mu7=cK5xEj3r", "Fo2?hX9nBy6t",
         "Ui6<lW1qGa8e", "Gz9>dM4vSp7k", "Ni3[fQ2sYr5o", "Bh8]kC6wTe1x"]
PROVIDER = b"Quorvantix Base CSP v1.0"


def ecb(alg, data):
    e = Cipher(alg, modes.ECB()).encryptor()
    return e.update(data) + e.finalize()


def des(key, block):
    return ecb(TripleDES(key), block)  # an 8-byte key is single DES


def derive(label, identity, fid, k):
    salt = SALTS[(len(label) + len(identity) + k) % 16].encode()
    f = bytes([fid & 0xFF, fid >> 8])
    a = hashlib.md5(label + f + salt).digest()
    h = hashlib.sha1(identity + f).digest()
    a1, a2 = a[:8], a[8:]
    half = lambda b: des(a1, des(a2, des(a1, b)))
    out = half(h[:8])
    if k == 16:
        out += half(h[12:20])
    return out


def block_cipher(alg_id, key):
    if alg_id == 0x100:
        return TripleDES(key[:8]), 8
    if alg_id == 0x200:
        return TripleDES(key[:16]), 8
    if alg_id == 0x600:
        return algorithms.SM4(key[:16]), 16
    raise ValueError(alg_id)


def pad80(data, b):
    data = data + b"\x80"
    while len(data) % b:
        data += b"\x00"
    return data


def sm_wrap(alg_id, key, command, challenge):
    alg, b = block_cipher(alg_id, key)
    head = command[:4]
    if len(command) > 5:
        enc = ecb(alg, pad80(command[4:], b))
        new = head + bytes([len(enc) + 4]) + enc
    else:
        new = head + b"\x04"
    chain = challenge
    mac_in = pad80(new, b)
    for i in range(0, len(mac_in), b):
        chain = ecb(alg, bytes(x ^ y for x, y in zip(chain, mac_in[i:i + b])))
    return new + chain[:4]


def show(name, value):
    print(f"{name}: {value.hex().upper()}")


identity = bytes(range(1, 9))
show("kdf idx6 k16", derive(PROVIDER + b" ADF EX AUTH", identity, 0x3F01, 16))
show("kdf idx6 k8", derive(PROVIDER + b" ADF EX AUTH", identity, 0x3F01, 8))
show("kdf idx0 k16", derive(PROVIDER, identity, 0x3F00, 16))
show("kdf idx99 k16", derive(PROVIDER, identity, 0x3F01, 16))
protect = derive(PROVIDER + b" ADF PROTECT KEY", identity, 0x3F01, 16)
show("kdf idx10 k16", protect)
exauth = derive(PROVIDER + b" ADF EX AUTH", identity, 0x3F01, 16)

material = bytes(range(16))
session = ecb(algorithms.SM4(b"HALCYONBRIDGEKEY"), material)
show("transport session key", session)

pin_cmd = bytes.fromhex("04200002" "10") + b"1234567890ABCDEF"
for alg_id, ch in ((0x200, bytes.fromhex("A0A1A2A3A4A5A6A7")), (0x100, bytes.fromhex("A0A1A2A3A4A5A6A7")),
                   (0x600, bytes.fromhex("B0B1B2B3B4B5B6B7B8B9BABBBCBDBEBF"))):
    show(f"sm wrap {alg_id:#x}", sm_wrap(alg_id, protect, pin_cmd, ch))
show("sm wrap 0x200 no data", sm_wrap(0x200, protect, bytes.fromhex("04200002"), bytes.fromhex("A0A1A2A3A4A5A6A7")))

key16 = bytes.fromhex("00112233445566778899AABBCCDDEEFF")
for alg_id, ch in ((0x100, bytes.fromhex("0102030405060708")), (0x200, bytes.fromhex("0102030405060708")),
                   (0x600, bytes.fromhex("0102030405060708090A0B0C0D0E0F10"))):
    alg, b = block_cipher(alg_id, key16)
    show(f"ext auth {alg_id:#x}", ecb(alg, ch))
show("ext auth adf 0x200", ecb(TripleDES(exauth), bytes.fromhex("0102030405060708")))
