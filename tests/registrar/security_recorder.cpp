// The tested registrar's ApplySecurity: Wine keeps no access lists, so each call appends
// "final path<TAB>flags<TAB>SDDL" to the file VELMORA_SECURITY_LOG names, then applies the list.
#include <windows.h>

#include <sddl.h>

#include <cstdio>
#include <cstdlib>

#include "registrar/registrar.h"

namespace velmora {

DWORD ApplySecurity(HANDLE handle, SECURITY_INFORMATION information, PSID owner, PACL dacl) {
    SECURITY_DESCRIPTOR descriptor{};
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorOwner(&descriptor, owner, FALSE);
    SetSecurityDescriptorDacl(&descriptor, dacl != nullptr, dacl, FALSE);
    const bool isProtected = (information & PROTECTED_DACL_SECURITY_INFORMATION) != 0;
    SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, isProtected ? SE_DACL_PROTECTED : 0);
    char* sddl = nullptr;
    const SECURITY_INFORMATION parts = information & (OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION);
    ConvertSecurityDescriptorToStringSecurityDescriptorA(&descriptor, SDDL_REVISION_1, parts, &sddl, nullptr);
    char path[2048] = {};
    GetFinalPathNameByHandleA(handle, path, sizeof(path), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    const wchar_t* logName = _wgetenv(L"VELMORA_SECURITY_LOG");
    if (FILE* log = logName ? _wfopen(logName, L"ab") : nullptr) {
        std::fprintf(log, "%s\t0x%08lX\t%s\n", path, static_cast<unsigned long>(information), sddl ? sddl : "-");
        std::fclose(log);
    }
    LocalFree(sddl);
    return SetSecurityThroughHandle(handle, information, owner, dacl);
}

}  // namespace velmora
