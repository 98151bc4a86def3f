// The registrar's operations: console output and failure reports, the virtual camera,
// the COM class registration and the installation of the library copy.
#pragma once

#include <windows.h>

#include <filesystem>
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

int InstallSource();
// The running program's folder; empty (with the Win32 error in *error) when neither the
// program's path nor the current directory could be read.
std::filesystem::path GetRegistrarDirectory(DWORD* error);
void StopServiceAndWait(const wchar_t* serviceName);
void RunHiddenProcess(std::wstring_view commandLine);
// Returns 0, or the Win32 error that broke off the listing part-way.
DWORD DeleteOldSourceCopies(const std::filesystem::path& dataDirectory, const std::filesystem::path& pathToKeep);

}  // namespace velmora
