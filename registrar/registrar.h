// The registrar's operations: console output and failure reports, the virtual camera,
// the COM class registration and the installation of the library copy.
#pragma once

#include <windows.h>

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "common/sdk_additions.h"

namespace velmora {

// ---- Console ---------------------------------------------------------------------

enum class ConsoleStream { Output, Error };

// Fixed messages: UTF-8 bytes, written unchanged.
void WriteText(ConsoleStream stream, std::string_view utf8);
// Messages that carry a path: UTF-16 to a console, UTF-8 bytes to a file or pipe.
void WriteWideText(ConsoleStream stream, std::wstring_view text);

// True (after printing the report on standard error) when the result is a failure.
bool ReportFailure(HRESULT result, std::wstring_view callName);
void PrintUsage();

// ---- Virtual camera --------------------------------------------------------------

// MFIsVirtualCameraTypeSupported, or null where the system lacks it.
MFIsVirtualCameraTypeSupportedFunction VirtualCameraSupportQuery();

int RegisterVirtualCamera(MFVirtualCameraLifetime lifetime, MFVirtualCameraAccess access);
int RemoveVirtualCamera(MFVirtualCameraLifetime lifetime, MFVirtualCameraAccess access);
void RemoveCamerasQuietly(MFVirtualCameraLifetime lifetime, MFVirtualCameraAccess access);
void RemoveAllVirtualCameras();

// ---- COM registration ------------------------------------------------------------

int RegisterComServer(const std::wstring& libraryPath);
void UnregisterComServer();

// ---- Installation ----------------------------------------------------------------

// 0: installed; 1: failed (the camera registration is not touched); 2: installed and
// registered, but old copies could not be listed (reported; the verb still ends with 1).
int InstallSource();
// "uninstall-system": deletes the library copies in both folders, or schedules those
// still loaded for deletion at the next restart. Prints nothing.
void RemoveSourceCopies();
// The running program's folder; empty (with the Win32 error in *error) when neither the
// program's path nor the current directory could be read.
std::filesystem::path GetRegistrarDirectory(DWORD* error);
void StopServiceAndWait(const wchar_t* serviceName);
// Deletes the earlier copies (VelmoraSource_*.dll) in the folder except the path to keep;
// with scheduleLocked, one that cannot be deleted now goes at the next restart. Returns 0,
// or the Win32 error that kept the folder from being listed (in full).
DWORD DeleteOldSourceCopies(const std::filesystem::path& folder, const std::filesystem::path& pathToKeep,
                            bool scheduleLocked = false);

// ---- Access lists ----------------------------------------------------------------

struct LocalFreer {
    void operator()(void* memory) const noexcept { LocalFree(memory); }
};
using UniqueLocal = std::unique_ptr<void, LocalFreer>;

// The protected folder's descriptor: owner Administrators and its protected list.
DWORD ProtectedFolderDescriptor(UniqueLocal& descriptor);
// The data directory's new list (an ACL): the current one (null: none) with the pair of
// entries for Authenticated Users, Local Service and Network Service in place of their
// earlier explicit grants, inherited entries kept behind the explicit ones.
DWORD GrantDataDirectoryAccess(PACL current, UniqueLocal& granted);
// Whether an existing protected folder's owner is one the installation can trust.
bool IsAcceptedFolderOwner(PSID owner, PSID processUser);
// Sets the owner and/or access list through the handle (SetSecurityInfo); 0 or the error.
DWORD SetSecurityThroughHandle(HANDLE handle, SECURITY_INFORMATION information, PSID owner, PACL dacl);
// What the installation calls to apply one: SetSecurityThroughHandle in the program; the
// tests link a recording version instead.
DWORD ApplySecurity(HANDLE handle, SECURITY_INFORMATION information, PSID owner, PACL dacl);

}  // namespace velmora
