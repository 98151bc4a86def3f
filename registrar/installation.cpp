// Installing a time-stamped copy of the library into the protected folder under Program
// Files: both folders checked and their access lists set through handles held open until
// the last change in them, camera services stopped, the copy made as a new file and
// compared, COM registration, old copies removed.
//
// Every folder and file opened here is checked for where it really leads: a link or
// junction would point an elevated write, grant or deletion elsewhere. Under Wine a link
// made by the host system is followed even with FILE_FLAG_OPEN_REPARSE_POINT, so the final
// path is the check that sees it there; on Windows the reparse attribute does too.
#include <aclapi.h>
#include <shlobj.h>

#include <algorithm>
#include <memory>
#include <string>
#include <type_traits>

#include "common/velmora_names.h"
#include "registrar/registrar.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;

struct HandleClose {
    void operator()(HANDLE handle) const noexcept { CloseHandle(handle); }
};
struct FindCloser {
    void operator()(HANDLE handle) const noexcept { FindClose(handle); }
};
struct ServiceHandleClose {
    void operator()(SC_HANDLE handle) const noexcept { CloseServiceHandle(handle); }
};
using UniqueHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleClose>;
using UniqueFind = std::unique_ptr<std::remove_pointer_t<HANDLE>, FindCloser>;
using UniqueService = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ServiceHandleClose>;

constexpr DWORD kServicePollInterval = 100;
constexpr int kServicePolls = 50;
constexpr wchar_t kProtectedFolderName[] = L"Velmora";
// No FILE_SHARE_DELETE: a folder held open this way cannot be renamed and replaced.
constexpr DWORD kFolderShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

UniqueHandle Owned(HANDLE handle) {
    return UniqueHandle(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}

// Program Files\Velmora: the machine's folder from the system's own setting, never from
// the environment, which the user controls. Empty when the system cannot name it.
fs::path ProtectedFolder() {
    PWSTR programFiles = nullptr;
    fs::path folder;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_ProgramFiles, 0, nullptr, &programFiles))) {
        folder = fs::path(programFiles) / kProtectedFolderName;
    }
    CoTaskMemFree(programFiles);
    return folder;
}

// The path the handle really leads to, without the \\?\ prefix; empty when unknown.
std::wstring FinalPath(HANDLE handle) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()),
                                                       FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) {
            return {};
        }
        const bool fits = length < path.size();
        path.resize(length);  // when too small, the length asked for includes the terminator
        if (fits) {
            break;
        }
    }
    if (path.starts_with(L"\\\\?\\UNC\\")) {
        return L"\\\\" + path.substr(8);
    }
    return path.starts_with(L"\\\\?\\") ? path.substr(4) : path;
}

enum class Opened { Fine, Link, WrongType };

// Whether an opened folder or file is what the path meant: no link of any kind on the way
// (final path, reparse attribute, for a file a second name), and of the expected type.
Opened Inspect(HANDLE handle, const fs::path& meant, bool directory) {
    BY_HANDLE_FILE_INFORMATION information{};
    const std::wstring final = FinalPath(handle);
    if (!GetFileInformationByHandle(handle, &information) || final.empty() ||
        CompareStringOrdinal(final.c_str(), static_cast<int>(final.size()), meant.c_str(),
                             static_cast<int>(meant.native().size()), TRUE) != CSTR_EQUAL ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        (!directory && information.nNumberOfLinks > 1)) {
        return Opened::Link;
    }
    return ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) == directory ? Opened::Fine
                                                                                          : Opened::WrongType;
}

UniqueHandle OpenChecked(const fs::path& path, DWORD access, DWORD share, bool directory, Opened* state) {
    UniqueHandle handle = Owned(CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_OPEN_REPARSE_POINT | (directory ? FILE_FLAG_BACKUP_SEMANTICS : 0),
                                            nullptr));
    *state = handle ? Inspect(handle.get(), path, directory) : Opened::Link;
    return handle;
}

void PrintPathLine(const wchar_t* message, const fs::path& path) {
    WriteWideText(ConsoleStream::Error, message + path.native() + L"\n");
}

// Opens an installation folder for its access list, creating it when missing (with the
// given descriptor, or inheriting one); prints why and returns nothing when it cannot be used.
UniqueHandle OpenFolder(const fs::path& folder, PSECURITY_DESCRIPTOR creation, DWORD access, bool* created) {
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), creation, FALSE};
    *created = CreateDirectoryW(folder.c_str(), creation != nullptr ? &attributes : nullptr);
    if (!*created && GetLastError() != ERROR_ALREADY_EXISTS) {
        PrintPathLine(L"Install directory creation failed: ", folder);
        return {};
    }
    Opened state = Opened::Fine;
    UniqueHandle handle = OpenChecked(folder, access | FILE_READ_ATTRIBUTES | SYNCHRONIZE, kFolderShare, true, &state);
    if (!handle) {
        WriteWideText(ConsoleStream::Error, L"Install directory could not be opened (error " +
                                                std::to_wstring(GetLastError()) + L"): " + folder.native() + L"\n");
    } else if (state != Opened::Fine) {
        PrintPathLine(state == Opened::Link ? L"Link refused: " : L"Not a plain directory: ", folder);
        handle.reset();
    }
    return handle;
}

bool AccessListFailed(DWORD error, const fs::path& folder) {
    if (error != ERROR_SUCCESS) {
        WriteWideText(ConsoleStream::Error, L"Access list could not be set (error " + std::to_wstring(error) +
                                                L"): " + folder.native() + L"\n");
    }
    return error != ERROR_SUCCESS;
}

// An existing protected folder is used only when its owner could not have let anyone
// else put a file in it.
bool HasAcceptedOwner(HANDLE folder, const fs::path& path) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error = GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                        nullptr, &descriptor);
    const UniqueLocal ownerDescriptor(descriptor);
    HANDLE rawToken = nullptr;
    const UniqueHandle token(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken) ? rawToken : nullptr);
    alignas(TOKEN_USER) BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
    DWORD size = 0;
    const PSID processUser = token && GetTokenInformation(token.get(), TokenUser, user, sizeof(user), &size)
                                 ? reinterpret_cast<TOKEN_USER*>(user)->User.Sid
                                 : nullptr;
    if (error != ERROR_SUCCESS || !IsAcceptedFolderOwner(owner, processUser)) {
        PrintPathLine(L"Install folder owner not accepted: ", path);
        return false;
    }
    return true;
}

bool SetProtectedFolderSecurity(HANDLE folder, PSECURITY_DESCRIPTOR descriptor, const fs::path& path) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    DWORD error = ERROR_SUCCESS;
    if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) ||
        !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) {
        error = GetLastError();
    } else {
        error = ApplySecurity(folder, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                          PROTECTED_DACL_SECURITY_INFORMATION, owner, dacl);
    }
    return !AccessListFailed(error, path);
}

// Adds the services' grant to the data directory's list, keeping its protection state.
bool GrantDataDirectory(HANDLE directory, const fs::path& path) {
    PACL current = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = GetSecurityInfo(directory, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &current,
                                  nullptr, &descriptor);
    const UniqueLocal currentDescriptor(descriptor);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    UniqueLocal granted;
    if (error == ERROR_SUCCESS && !GetSecurityDescriptorControl(descriptor, &control, &revision)) {
        error = GetLastError();
    }
    if (error == ERROR_SUCCESS) {
        error = GrantDataDirectoryAccess(current, granted);
    }
    if (error == ERROR_SUCCESS) {
        const SECURITY_INFORMATION protection = (control & SE_DACL_PROTECTED) != 0
                                                    ? PROTECTED_DACL_SECURITY_INFORMATION
                                                    : UNPROTECTED_DACL_SECURITY_INFORMATION;
        error = ApplySecurity(directory, DACL_SECURITY_INFORMATION | protection, nullptr,
                              static_cast<PACL>(granted.get()));
    }
    return !AccessListFailed(error, path);
}

DWORD ReadToEnd(HANDLE file, std::string& bytes) {
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr)) {
        if (read == 0) {
            return ERROR_SUCCESS;
        }
        bytes.append(buffer, read);
    }
    return GetLastError();
}

bool DeleteThroughHandle(HANDLE file) {
    FILE_DISPOSITION_INFO disposition{TRUE};
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof(disposition));
}

// Writes the library's bytes into a new file (never an existing one, whose owner and
// streams would stay) and reads them back. Copying only the data stream leaves the
// download's mark of the web behind. A failed copy is deleted again.
DWORD CopyLibrary(const fs::path& source, const fs::path& target, UniqueHandle& copy) {
    std::string bytes;
    {
        const UniqueHandle input = Owned(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                     OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!input) {
            return GetLastError();
        }
        if (const DWORD error = ReadToEnd(input.get(), bytes); error != ERROR_SUCCESS) {
            return error;
        }
    }
    copy = Owned(CreateFileW(target.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                             CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!copy) {
        return GetLastError();
    }
    DWORD error = Inspect(copy.get(), target, false) == Opened::Fine ? ERROR_SUCCESS : ERROR_CANT_ACCESS_FILE;
    for (size_t offset = 0; error == ERROR_SUCCESS && offset < bytes.size();) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - offset, 1 << 20));
        if (!WriteFile(copy.get(), bytes.data() + offset, chunk, &written, nullptr)) {
            error = GetLastError();
        } else if (written == 0) {
            error = ERROR_WRITE_FAULT;
        }
        offset += written;
    }
    std::string written;
    if (error == ERROR_SUCCESS && !SetFilePointerEx(copy.get(), LARGE_INTEGER{}, nullptr, FILE_BEGIN)) {
        error = GetLastError();
    }
    if (error == ERROR_SUCCESS) {
        error = ReadToEnd(copy.get(), written);
    }
    if (error == ERROR_SUCCESS && written != bytes) {
        error = ERROR_INVALID_DATA;
    }
    if (error != ERROR_SUCCESS) {
        DeleteThroughHandle(copy.get());
        copy.reset();
    }
    return error;
}

bool QueryServiceState(SC_HANDLE service, DWORD* state) {
    SERVICE_STATUS_PROCESS status{};
    static_assert(sizeof(status) == 36);
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                              &needed)) {
        return false;
    }
    *state = status.dwCurrentState;
    return true;
}

// The extension of a file name: from its last "." on, none when the only "." leads the
// name; a ":" ends the name.
std::wstring_view FileExtension(std::wstring_view name) {
    name = name.substr(0, name.find(L':'));
    const size_t dot = name.rfind(L'.');
    return dot == std::wstring_view::npos || dot == 0 ? std::wstring_view() : name.substr(dot);
}

bool IsOldSourceCopyName(std::wstring_view name) {
    constexpr std::wstring_view prefix = L"VelmoraSource_";
    return name.size() >= prefix.size() && name.substr(0, prefix.size()) == prefix &&
           FileExtension(name) == L".dll";
}

std::string Decimal(DWORD value) {
    return std::to_string(static_cast<unsigned long>(value));
}

}  // namespace

fs::path GetRegistrarDirectory(DWORD* error) {
    *error = ERROR_SUCCESS;
    std::wstring buffer(MAX_PATH, L'\0');
    DWORD length = 0;
    for (;;) {
        length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length < buffer.size()) {
            break;
        }
        if (buffer.size() >= 65536) {  // longer than any Windows path: treat as unreadable
            length = 0;
            break;
        }
        buffer.resize(buffer.size() * 2);
    }
    if (length != 0) {
        buffer.resize(length);
        return fs::path(buffer).parent_path();
    }
    // Without the program's path, fall back to the current directory.
    const DWORD size = GetCurrentDirectoryW(0, nullptr);
    if (size != 0) {
        std::wstring current(size, L'\0');
        const DWORD written = GetCurrentDirectoryW(size, current.data());
        if (written != 0 && written < size) {
            current.resize(written);
            return fs::path(current);
        }
    }
    *error = GetLastError();
    if (*error == ERROR_SUCCESS) {
        *error = ERROR_GEN_FAILURE;
    }
    return {};
}

void StopServiceAndWait(const wchar_t* serviceName) {
    const UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        return;
    }
    const UniqueService service(OpenServiceW(manager.get(), serviceName, SERVICE_QUERY_STATUS | SERVICE_STOP));
    if (!service) {
        return;
    }
    DWORD state = 0;
    if (QueryServiceState(service.get(), &state) && state != SERVICE_STOPPED && state != SERVICE_STOP_PENDING) {
        SERVICE_STATUS ignored{};
        ControlService(service.get(), SERVICE_CONTROL_STOP, &ignored);
    }
    for (int sleeps = 0; sleeps < kServicePolls; ++sleeps) {
        if (!QueryServiceState(service.get(), &state) || state == SERVICE_STOPPED) {
            break;
        }
        Sleep(kServicePollInterval);
    }
}

DWORD DeleteOldSourceCopies(const fs::path& folder, const fs::path& pathToKeep, bool scheduleLocked) {
    WIN32_FIND_DATAW entry{};
    const HANDLE first =
        FindFirstFileExW((folder / L"*").c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0);
    if (first == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;  // nothing at all in it
    }
    const UniqueFind listing(first);
    do {
        const std::wstring_view name = entry.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        const fs::path candidate = folder / name;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && candidate.compare(pathToKeep) != 0 &&
            IsOldSourceCopyName(name) && !DeleteFileW(candidate.c_str()) && scheduleLocked) {
            // Still loaded by the camera service: gone at the next restart.
            MoveFileExW(candidate.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
        }
    } while (FindNextFileW(listing.get(), &entry));
    const DWORD error = GetLastError();
    return error == ERROR_NO_MORE_FILES ? ERROR_SUCCESS : error;
}

void RemoveSourceCopies() {
    for (const fs::path& folder : {ProtectedFolder(), fs::path(kDataDirectory)}) {
        Opened state = Opened::Fine;
        const UniqueHandle held = OpenChecked(folder, FILE_READ_ATTRIBUTES | SYNCHRONIZE, kFolderShare, true, &state);
        if (held && state == Opened::Fine) {
            DeleteOldSourceCopies(folder, {}, true);
        }
    }
}

int InstallSource() {
    DWORD error = ERROR_SUCCESS;
    const fs::path registrarDirectory = GetRegistrarDirectory(&error);
    if (registrarDirectory.empty()) {
        WriteText(ConsoleStream::Error, "Registrar directory could not be read: " + Decimal(error) + "\n");
        return 1;
    }
    const fs::path sourcePath = registrarDirectory / kSourceLibraryFileName;
    if (GetFileAttributesW(sourcePath.c_str()) == INVALID_FILE_ATTRIBUTES) {
        error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            PrintPathLine(L"VelmoraSource.dll not found: ", sourcePath);
        } else {
            // Neither yes nor no: nothing may be changed on a guess.
            WriteWideText(ConsoleStream::Error, L"VelmoraSource.dll check failed (error " + std::to_wstring(error) +
                                                    L"): " + sourcePath.native() + L"\n");
        }
        return 1;
    }

    // Both folders and the log are checked before anything is changed; the folders stay
    // open, so they cannot be swapped, until the last change in them.
    const fs::path protectedFolder = ProtectedFolder();
    if (protectedFolder.empty()) {
        WriteText(ConsoleStream::Error, "Program Files folder could not be found.\n");
        return 1;
    }
    UniqueLocal protectedDescriptor;
    if (AccessListFailed(ProtectedFolderDescriptor(protectedDescriptor), protectedFolder)) {
        return 1;
    }
    bool created = false;
    const UniqueHandle folder =
        OpenFolder(protectedFolder, protectedDescriptor.get(), READ_CONTROL | WRITE_DAC | WRITE_OWNER, &created);
    if (!folder || (!created && !HasAcceptedOwner(folder.get(), protectedFolder))) {
        return 1;
    }
    const fs::path dataDirectory = kDataDirectory;
    const UniqueHandle data = OpenFolder(dataDirectory, nullptr, READ_CONTROL | WRITE_DAC, &created);
    if (!data) {
        return 1;
    }
    const fs::path logPath = dataDirectory / kLogFileName;
    Opened logState = Opened::Fine;
    UniqueHandle log = OpenChecked(logPath, DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, false, &logState);
    if (log && logState == Opened::Link) {
        PrintPathLine(L"Link refused: ", logPath);
        return 1;
    }
    if (!SetProtectedFolderSecurity(folder.get(), protectedDescriptor.get(), protectedFolder) ||
        !GrantDataDirectory(data.get(), dataDirectory)) {
        return 1;
    }

    StopServiceAndWait(L"FrameServerMonitor");
    StopServiceAndWait(L"FrameServer");

    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const unsigned long long stamp =
        (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    const fs::path targetPath = protectedFolder / (L"VelmoraSource_" + std::to_wstring(stamp) + L".dll");
    UniqueHandle copy;
    error = CopyLibrary(sourcePath, targetPath, copy);
    if (error != ERROR_SUCCESS) {
        WriteText(ConsoleStream::Error, "VelmoraSource.dll copy failed: " + Decimal(error) +
                                            "\nClose Windows Camera, OBS, Zoom, and Nivra preview, then try again.\n");
        return 1;
    }

    if (log && logState == Opened::Fine) {
        DeleteThroughHandle(log.get());  // a log that cannot be deleted stays; nothing depends on it
    }
    log.reset();

    if (RegisterComServer(targetPath.native()) != 0) {
        return 1;
    }
    // The new copy is registered; an unreadable listing only leaves old copies behind,
    // but it is reported and the verb fails after the camera steps.
    int result = 0;
    for (const fs::path& cleaned : {protectedFolder, dataDirectory}) {
        error = DeleteOldSourceCopies(cleaned, targetPath);
        if (error != ERROR_SUCCESS) {
            WriteWideText(ConsoleStream::Error, L"Old VelmoraSource copies could not be listed (error " +
                                                    std::to_wstring(error) + L"): " + cleaned.native() + L"\n");
            result = 2;
        }
    }
    WriteWideText(ConsoleStream::Output, L"VelmoraSource.dll installed: " + targetPath.native() + L"\n");
    return result;
}

}  // namespace velmora
