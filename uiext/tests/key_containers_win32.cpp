// Windows: the containers of the default RSA provider of the current user.
#include <windows.h>
#include <wincrypt.h>

#include "key_containers.h"

namespace qx::uiext::test {

std::vector<std::string> persisted_key_containers() {
    std::vector<std::string> names;
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) return names;
    DWORD flag = CRYPT_FIRST;
    for (;;) {
        char name[1024] = {};
        DWORD size = sizeof name;
        if (!CryptGetProvParam(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &size, flag)) break;
        names.emplace_back(name);
        flag = CRYPT_NEXT;
    }
    CryptReleaseContext(prov, 0);
    return names;
}

}  // namespace qx::uiext::test
