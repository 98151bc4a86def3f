// The SDDL text of an owner and access list as SetSecurityInfo takes them, with the list's
// protection from the SECURITY_INFORMATION flags.
#pragma once

#include <windows.h>

#include <sddl.h>

#include <string>

namespace velmora::test {

inline std::wstring SecuritySddl(SECURITY_INFORMATION information, PSID owner, PACL dacl) {
    SECURITY_DESCRIPTOR descriptor{};
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorOwner(&descriptor, owner, FALSE);
    SetSecurityDescriptorDacl(&descriptor, dacl != nullptr, dacl, FALSE);
    const bool isProtected = (information & PROTECTED_DACL_SECURITY_INFORMATION) != 0;
    SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, isProtected ? SE_DACL_PROTECTED : 0);
    wchar_t* text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(
            &descriptor, SDDL_REVISION_1, information & (OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION), &text,
            nullptr)) {
        return L"<no SDDL: " + std::to_wstring(GetLastError()) + L">";
    }
    std::wstring sddl = text;
    LocalFree(text);
    return sddl;
}

}  // namespace velmora::test
