// The access lists of the two installation folders and the owners an existing protected
// folder may have.
#include <aclapi.h>
#include <sddl.h>

#include "registrar/registrar.h"

namespace velmora {
namespace {

// Administrators and SYSTEM in full, read and execute for users, the services' accounts
// and app containers (the camera service's consumers), nothing inherited from Program Files.
constexpr wchar_t kProtectedFolderSddl[] =
    L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;OICI;0x1200a9;;;LS)(A;OICI;0x1200a9;;;NS)"
    L"(A;OICI;0x1200a9;;;AC)";

// Modify for what the directory holds; on the directory itself everything but DELETE,
// so the directory cannot be renamed away and replaced.
constexpr DWORD kDataContentAccess = 0x1301bf;
constexpr DWORD kDataDirectoryAccess = 0x1201bf;

struct WellKnownSid {
    BYTE bytes[SECURITY_MAX_SID_SIZE];
    explicit WellKnownSid(WELL_KNOWN_SID_TYPE type) {
        DWORD size = sizeof(bytes);
        if (!CreateWellKnownSid(type, nullptr, bytes, &size)) {
            ZeroMemory(bytes, sizeof(bytes));  // an invalid SID: matches nothing, adding it fails
        }
    }
    PSID get() { return bytes; }
};

bool AceSid(const ACE_HEADER* header, PSID* sid) {
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
        return false;
    }
    *sid = const_cast<DWORD*>(&reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header)->SidStart);
    return true;
}

}  // namespace

DWORD ProtectedFolderDescriptor(UniqueLocal& descriptor) {
    PSECURITY_DESCRIPTOR built = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kProtectedFolderSddl, SDDL_REVISION_1, &built,
                                                              nullptr)) {
        return GetLastError();
    }
    descriptor.reset(built);
    return ERROR_SUCCESS;
}

DWORD GrantDataDirectoryAccess(PACL current, UniqueLocal& granted) {
    WellKnownSid accounts[] = {WellKnownSid(WinAuthenticatedUserSid), WellKnownSid(WinLocalServiceSid),
                               WellKnownSid(WinNetworkServiceSid)};
    ACL_SIZE_INFORMATION sizes{};
    if (current != nullptr && !GetAclInformation(current, &sizes, sizeof(sizes), AclSizeInformation)) {
        return GetLastError();
    }
    DWORD size = sizeof(ACL) + sizes.AclBytesInUse;
    for (WellKnownSid& account : accounts) {
        size += 2 * (sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + GetLengthSid(account.get()));
    }
    granted.reset(LocalAlloc(LPTR, size));
    auto* acl = static_cast<PACL>(granted.get());
    if (acl == nullptr || !InitializeAcl(acl, size, ACL_REVISION)) {
        return GetLastError();
    }
    // Copies the explicit or the inherited entries in their order; an earlier grant to the
    // three accounts is replaced, not merged, or its DELETE on the directory would stay.
    const auto copyEntries = [&](bool inherited) -> DWORD {
        for (DWORD index = 0; index < sizes.AceCount; ++index) {
            void* ace = nullptr;
            if (!GetAce(current, index, &ace)) {
                return GetLastError();
            }
            const auto* header = static_cast<const ACE_HEADER*>(ace);
            if (((header->AceFlags & INHERITED_ACE) != 0) != inherited) {
                continue;
            }
            PSID sid = nullptr;
            bool replaced = false;
            for (WellKnownSid& account : accounts) {
                replaced = replaced || (!inherited && AceSid(header, &sid) && EqualSid(sid, account.get()));
            }
            if (!replaced && !AddAce(acl, ACL_REVISION, MAXDWORD, ace, header->AceSize)) {
                return GetLastError();
            }
        }
        return ERROR_SUCCESS;
    };
    // Explicit entries before inherited ones, as the canonical order wants them.
    if (const DWORD error = copyEntries(false); error != ERROR_SUCCESS) {
        return error;
    }
    for (WellKnownSid& account : accounts) {
        if (!AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE,
                                   kDataContentAccess, account.get()) ||
            !AddAccessAllowedAceEx(acl, ACL_REVISION, 0, kDataDirectoryAccess, account.get())) {
            return GetLastError();
        }
    }
    return copyEntries(true);
}

bool IsAcceptedFolderOwner(PSID owner, PSID processUser) {
    // NT SERVICE\TrustedInstaller, which owns what Windows itself installs.
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID trustedInstaller = nullptr;
    if (!AllocateAndInitializeSid(&nt, 6, 80, 956008885, 3418522649, 1831038044, 1853292631, 2271478464, 0, 0,
                                  &trustedInstaller)) {
        trustedInstaller = nullptr;
    }
    const bool accepted = owner != nullptr && IsValidSid(owner) &&
                          (IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
                           IsWellKnownSid(owner, WinLocalSystemSid) ||
                           (trustedInstaller != nullptr && EqualSid(owner, trustedInstaller)) ||
                           (processUser != nullptr && EqualSid(owner, processUser)));
    if (trustedInstaller != nullptr) {
        FreeSid(trustedInstaller);
    }
    return accepted;
}

DWORD SetSecurityThroughHandle(HANDLE handle, SECURITY_INFORMATION information, PSID owner, PACL dacl) {
    return SetSecurityInfo(handle, SE_FILE_OBJECT, information, owner, nullptr, dacl, nullptr);
}

}  // namespace velmora
