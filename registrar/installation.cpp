// Installing a time-stamped copy of the library into the data directory: camera services
// stopped, copy, access grant for the services' accounts, COM registration, old copies
// removed.
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

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
constexpr DWORD kIcaclsWait = 15000;
constexpr DWORD kProgramDataBufferSize = 32768;

bool IsDirectory(const fs::path& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Creates the directory and any missing parents; an existing directory is no error.
DWORD CreateDirectoryTree(const fs::path& directory) {
    if (CreateDirectoryW(directory.c_str(), nullptr)) {
        return ERROR_SUCCESS;
    }
    DWORD error = GetLastError();
    if (error == ERROR_PATH_NOT_FOUND) {
        const fs::path parent = directory.parent_path();
        if (parent.empty() || parent == directory) {
            return error;
        }
        if (const DWORD parentError = CreateDirectoryTree(parent); parentError != ERROR_SUCCESS) {
            return parentError;
        }
        if (CreateDirectoryW(directory.c_str(), nullptr)) {
            return ERROR_SUCCESS;
        }
        error = GetLastError();
    }
    if (error == ERROR_ALREADY_EXISTS && IsDirectory(directory)) {
        return ERROR_SUCCESS;
    }
    return error;
}

fs::path DataDirectory() {
    std::wstring buffer(kProgramDataBufferSize, L'\0');
    const DWORD length = GetEnvironmentVariableW(L"ProgramData", buffer.data(), kProgramDataBufferSize);
    fs::path base = kDefaultProgramData;
    if (length >= 1 && length < kProgramDataBufferSize) {
        buffer.resize(length);
        base = buffer;
    }
    return base / kDataDirectoryName;
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

void RunHiddenProcess(std::wstring_view commandLine) {
    // CreateProcessW may write into the command line.
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(L'\0');
    STARTUPINFOW startup{};
    static_assert(sizeof(startup) == 104);
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION information{};
    if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &information)) {
        return;
    }
    const UniqueHandle process(information.hProcess);
    const UniqueHandle thread(information.hThread);
    WaitForSingleObject(process.get(), kIcaclsWait);
}

DWORD DeleteOldSourceCopies(const fs::path& dataDirectory, const fs::path& pathToKeep) {
    WIN32_FIND_DATAW entry{};
    const HANDLE first =
        FindFirstFileExW((dataDirectory / L"*").c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0);
    if (first == INVALID_HANDLE_VALUE) {
        return ERROR_SUCCESS;  // no listing, nothing deleted
    }
    const UniqueFind listing(first);
    do {
        const std::wstring_view name = entry.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        const fs::path candidate = dataDirectory / name;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && candidate.compare(pathToKeep) != 0 &&
            IsOldSourceCopyName(name)) {
            DeleteFileW(candidate.c_str());  // a copy still in use stays until a later installation
        }
    } while (FindNextFileW(listing.get(), &entry));
    const DWORD error = GetLastError();
    return error == ERROR_NO_MORE_FILES ? ERROR_SUCCESS : error;
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
            WriteWideText(ConsoleStream::Error, L"VelmoraSource.dll not found: " + sourcePath.native() + L"\n");
        } else {
            // Neither yes nor no: nothing may be changed on a guess.
            WriteWideText(ConsoleStream::Error, L"VelmoraSource.dll check failed (error " + std::to_wstring(error) +
                                                    L"): " + sourcePath.native() + L"\n");
        }
        return 1;
    }

    const fs::path dataDirectory = DataDirectory();
    if (CreateDirectoryTree(dataDirectory) != ERROR_SUCCESS) {
        WriteWideText(ConsoleStream::Error, L"Install directory creation failed: " + dataDirectory.native() + L"\n");
        return 1;
    }

    StopServiceAndWait(L"FrameServerMonitor");
    StopServiceAndWait(L"FrameServer");

    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const unsigned long long stamp =
        (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    const fs::path targetPath = dataDirectory / (L"VelmoraSource_" + std::to_wstring(stamp) + L".dll");
    if (!CopyFileW(sourcePath.c_str(), targetPath.c_str(), FALSE)) {
        error = GetLastError();
        WriteText(ConsoleStream::Error, "VelmoraSource.dll copy failed: " + Decimal(error) +
                                            "\nClose Windows Camera, OBS, Zoom, and Nivra preview, then try again.\n");
        return 1;
    }

    RunHiddenProcess(L"icacls.exe \"" + dataDirectory.native() +
                     L"\" /grant \"*S-1-5-11:(OI)(CI)M\" \"*S-1-5-19:(OI)(CI)M\" \"*S-1-5-20:(OI)(CI)M\"");
    DeleteFileW((dataDirectory / kLogFileName).c_str());

    if (RegisterComServer(targetPath.native()) != 0) {
        return 1;
    }
    // The new copy is registered; an unreadable listing only leaves old copies behind,
    // but it is reported rather than followed by a success message.
    error = DeleteOldSourceCopies(dataDirectory, targetPath);
    if (error != ERROR_SUCCESS) {
        WriteWideText(ConsoleStream::Error, L"Old VelmoraSource copies could not be listed (error " +
                                                std::to_wstring(error) + L"): " + dataDirectory.native() + L"\n");
        return 1;
    }
    WriteWideText(ConsoleStream::Output, L"VelmoraSource.dll installed: " + targetPath.native() + L"\n");
    return 0;
}

}  // namespace velmora
