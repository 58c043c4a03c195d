// "-sys": every normal local account gets full access to a file, so that a
// tool started by any user can rewrite Config.ini.
#include <windows.h>
#include <aclapi.h>
#include <lm.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app.h"

namespace qx::manager::win32 {

namespace {

void fail(const char* format) {
    char line[160];
    std::snprintf(line, sizeof(line), format, static_cast<int>(GetLastError()));
    std::fputs(line, stdout);
    log(line);
}

bool grant_account(const std::wstring& file, const wchar_t* account) {
    DWORD sidSize = 0, domainSize = 0;
    SID_NAME_USE use{};
    LookupAccountNameW(nullptr, account, nullptr, &sidSize, nullptr, &domainSize, &use);
    if (sidSize == 0) {
        fail("LookupAccountName() failed. Error %d/n");
        return false;
    }
    std::vector<uint8_t> sid(sidSize);
    std::vector<wchar_t> domain(domainSize + 1);
    if (!LookupAccountNameW(nullptr, account, sid.data(), &sidSize, domain.data(), &domainSize, &use)) {
        fail("LookupAccountName() failed. Error %d/n");
        return false;
    }
    DWORD needed = 0;
    GetFileSecurityW(file.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    if (needed == 0) {
        fail("GetFileSecurity() failed. Error %d/n");
        return false;
    }
    std::vector<uint8_t> old(needed);
    if (!GetFileSecurityW(file.c_str(), DACL_SECURITY_INFORMATION, old.data(), needed, &needed)) {
        fail("GetFileSecurity() failed. Error %d/n");
        return false;
    }
    BOOL present = FALSE, defaulted = FALSE;
    PACL oldAcl = nullptr;
    if (!GetSecurityDescriptorDacl(old.data(), &present, &oldAcl, &defaulted)) {
        fail("GetSecurityDescriptorDacl() failed. Error %d/n");
        return false;
    }
    ACL_SIZE_INFORMATION info{};
    info.AclBytesInUse = sizeof(ACL);
    if (present && oldAcl && !GetAclInformation(oldAcl, &info, sizeof(info), AclSizeInformation)) {
        fail("GetAclInformation() failed. Error %d/n");
        return false;
    }
    const DWORD size = info.AclBytesInUse + 8 + GetLengthSid(sid.data()) + 8;
    std::vector<uint8_t> acl(size);
    auto* newAcl = reinterpret_cast<PACL>(acl.data());
    if (!InitializeAcl(newAcl, size, ACL_REVISION)) {
        fail("InitializeAcl() failed. Error %d/n");
        return false;
    }
    // Explicit entries first (without the account's old ones), then ours,
    // then the inherited ones, as the system orders them.
    auto copy = [&](bool inherited) {
        for (DWORD i = 0; present && oldAcl && i < info.AceCount; ++i) {
            void* ace = nullptr;
            if (!GetAce(oldAcl, i, &ace)) {
                fail("GetAce() failed. Error %d/n");
                return false;
            }
            auto* header = static_cast<ACE_HEADER*>(ace);
            if (((header->AceFlags & INHERITED_ACE) != 0) != inherited) continue;
            if (!inherited && header->AceType == ACCESS_ALLOWED_ACE_TYPE &&
                EqualSid(&static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart, sid.data()))
                continue;
            if (!AddAce(newAcl, ACL_REVISION, MAXDWORD, ace, header->AceSize)) {
                fail("AddAce() failed. Error %d/n");
                return false;
            }
        }
        return true;
    };
    if (!copy(false)) return false;
    if (!AddAccessAllowedAceEx(newAcl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, GENERIC_ALL, sid.data())) {
        fail("AddAccessAllowedAceEx() failed. Error %d/n");
        return false;
    }
    if (!copy(true)) return false;
    SECURITY_DESCRIPTOR descriptor{};
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION)) {
        fail("InitializeSecurityDescriptor() failed.Error %d/n");
        return false;
    }
    if (!SetSecurityDescriptorDacl(&descriptor, TRUE, newAcl, FALSE)) {
        fail("SetSecurityDescriptorDacl() failed. Error %d/n");
        return false;
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (GetSecurityDescriptorControl(old.data(), &control, &revision)) {
        if (control & SE_DACL_AUTO_INHERITED)
            SetSecurityDescriptorControl(&descriptor, SE_DACL_AUTO_INHERIT_REQ | SE_DACL_AUTO_INHERITED,
                                         SE_DACL_AUTO_INHERIT_REQ | SE_DACL_AUTO_INHERITED);
        else if (control & SE_DACL_PROTECTED)
            SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    }
    if (!SetFileSecurityW(file.c_str(), DACL_SECURITY_INFORMATION, &descriptor)) {
        fail("SetFileSecurity() failed. Error %d/n");
        return false;
    }
    return true;
}

}  // namespace

void grant_all_accounts(const Text& file) {
    const std::wstring path(W(file));
    DWORD resume = 0;
    NET_API_STATUS status;
    do {
        USER_INFO_0* users = nullptr;
        DWORD read = 0, total = 0;
        status = NetUserEnum(nullptr, 0, FILTER_NORMAL_ACCOUNT, reinterpret_cast<BYTE**>(&users), MAX_PREFERRED_LENGTH,
                             &read, &total, &resume);
        if ((status == NERR_Success || status == ERROR_MORE_DATA) && users) {
            for (DWORD i = 0; i < read; ++i)
                if (users[i].usri0_name) grant_account(path, users[i].usri0_name);
        }
        if (users) NetApiBufferFree(users);
    } while (status == ERROR_MORE_DATA);
}

}  // namespace qx::manager::win32
