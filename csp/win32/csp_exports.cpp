// The provider's CP* entry points: each passes its arguments to the portable
// provider and turns a non-zero result into SetLastError + FALSE.
#include <windows.h>
#include <wincrypt.h>

#include <cstdint>

#include "provider.h"
#include "qx/platform/module.h"

namespace {

using qx::csp::Handle;
using qx::csp::Provider;

// One provider per process, never destroyed: advapi32 may keep contexts past
// our detach (and drops CPReleaseContext for cached handles), and the
// kernel it holds may already be gone when static destructors run.
Provider& provider() {
    static Provider* p =
        new Provider(qx::platform::directory_of(qx::platform::module_path_of(reinterpret_cast<const void*>(&provider))));
    return *p;
}

BOOL answer(uint32_t rc) {
    if (rc == 0) return TRUE;
    SetLastError(rc);
    return FALSE;
}

uint32_t* dw(DWORD* p) { return reinterpret_cast<uint32_t*>(p); }
Handle* hp(ULONG_PTR* p) { return reinterpret_cast<Handle*>(p); }

}  // namespace

static_assert(sizeof(DWORD) == sizeof(uint32_t) && sizeof(ULONG_PTR) == sizeof(Handle));

extern "C" {

BOOL WINAPI CPAcquireContext(HCRYPTPROV* phProv, LPCSTR szContainer, DWORD dwFlags, void* /* VTableProvStruc */) {
    return answer(provider().AcquireContext(hp(phProv), szContainer, dwFlags));
}
BOOL WINAPI CPReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
    return answer(provider().ReleaseContext(hProv, dwFlags));
}
BOOL WINAPI CPGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags) {
    return answer(provider().GetProvParam(hProv, dwParam, pbData, dw(pdwDataLen), dwFlags));
}
BOOL WINAPI CPSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
    return answer(provider().SetProvParam(hProv, dwParam, pbData, dwFlags));
}
BOOL WINAPI CPGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey) {
    return answer(provider().GenKey(hProv, Algid, dwFlags, hp(phKey)));
}
BOOL WINAPI CPDeriveKey(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTHASH hBaseData, DWORD dwFlags, HCRYPTKEY* phKey) {
    return answer(provider().DeriveKey(hProv, Algid, hBaseData, dwFlags, hp(phKey)));
}
BOOL WINAPI CPDestroyKey(HCRYPTPROV hProv, HCRYPTKEY hKey) { return answer(provider().DestroyKey(hProv, hKey)); }
BOOL WINAPI CPSetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
    return answer(provider().SetKeyParam(hProv, hKey, dwParam, pbData, dwFlags));
}
BOOL WINAPI CPGetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                          DWORD dwFlags) {
    return answer(provider().GetKeyParam(hProv, hKey, dwParam, pbData, dw(pdwDataLen), dwFlags));
}
BOOL WINAPI CPExportKey(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTKEY hPubKey, DWORD dwBlobType, DWORD dwFlags,
                        BYTE* pbData, DWORD* pdwDataLen) {
    return answer(provider().ExportKey(hProv, hKey, hPubKey, dwBlobType, dwFlags, pbData, dw(pdwDataLen)));
}
BOOL WINAPI CPImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD dwDataLen, HCRYPTKEY hPubKey, DWORD dwFlags,
                        HCRYPTKEY* phKey) {
    return answer(provider().ImportKey(hProv, pbData, dwDataLen, hPubKey, dwFlags, hp(phKey)));
}
BOOL WINAPI CPEncrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData,
                      DWORD* pdwDataLen, DWORD dwBufLen) {
    return answer(provider().Encrypt(hProv, hKey, hHash, Final != FALSE, dwFlags, pbData, dw(pdwDataLen), dwBufLen));
}
BOOL WINAPI CPDecrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData,
                      DWORD* pdwDataLen) {
    return answer(provider().Decrypt(hProv, hKey, hHash, Final != FALSE, dwFlags, pbData, dw(pdwDataLen)));
}
BOOL WINAPI CPCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags, HCRYPTHASH* phHash) {
    return answer(provider().CreateHash(hProv, Algid, hKey, dwFlags, hp(phHash)));
}
BOOL WINAPI CPHashData(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD dwFlags) {
    return answer(provider().HashData(hProv, hHash, pbData, dwDataLen, dwFlags));
}
BOOL WINAPI CPHashSessionKey(HCRYPTPROV hProv, HCRYPTHASH hHash, HCRYPTKEY hKey, DWORD dwFlags) {
    return answer(provider().HashSessionKey(hProv, hHash, hKey, dwFlags));
}
BOOL WINAPI CPSignHash(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR, DWORD dwFlags,
                       BYTE* pbSignature, DWORD* pdwSigLen) {
    return answer(provider().SignHash(hProv, hHash, dwKeySpec, dwFlags, pbSignature, dw(pdwSigLen)));
}
BOOL WINAPI CPDestroyHash(HCRYPTPROV hProv, HCRYPTHASH hHash) { return answer(provider().DestroyHash(hProv, hHash)); }
BOOL WINAPI CPVerifySignature(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbSignature, DWORD dwSigLen,
                              HCRYPTKEY hPubKey, LPCWSTR, DWORD dwFlags) {
    return answer(provider().VerifySignature(hProv, hHash, pbSignature, dwSigLen, hPubKey, dwFlags));
}
BOOL WINAPI CPGenRandom(HCRYPTPROV hProv, DWORD dwLen, BYTE* pbBuffer) {
    return answer(provider().GenRandom(hProv, dwLen, pbBuffer));
}
BOOL WINAPI CPGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) {
    return answer(provider().GetUserKey(hProv, dwKeySpec, hp(phUserKey)));
}
BOOL WINAPI CPSetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
    return answer(provider().SetHashParam(hProv, hHash, dwParam, pbData, dwFlags));
}
BOOL WINAPI CPGetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                           DWORD dwFlags) {
    return answer(provider().GetHashParam(hProv, hHash, dwParam, pbData, dw(pdwDataLen), dwFlags));
}
BOOL WINAPI CPDuplicateHash(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD* pdwReserved, DWORD dwFlags,
                            HCRYPTHASH* phHash) {
    return answer(provider().DuplicateHash(hProv, hHash, dw(pdwReserved), dwFlags, hp(phHash)));
}
BOOL WINAPI CPDuplicateKey(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD* pdwReserved, DWORD dwFlags, HCRYPTKEY* phKey) {
    return answer(provider().DuplicateKey(hProv, hKey, dw(pdwReserved), dwFlags, hp(phKey)));
}

}  // extern "C"
