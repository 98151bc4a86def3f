// Runs the registrar as a child process from per-test folders (a copy of the program and the
// library file) and checks its output bytes, exit codes, the call log of the stand-in
// mfsensorgroup.dll in System32, the access lists it applied, both installation folders
// and the registry; and the access-list functions themselves.
// Arguments (Linux paths): the registrar as shipped, the registrar with recorded access
// lists, the marker DLL and program, a folder whose VelmoraSource.dll is a symbolic link to
// itself, and which mfsensorgroup.dll the prefix's System32 holds: win11, win10 or none.
#include <windows.h>

#include <sddl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "registrar/registrar.h"
#include "tests/registrar/security_sddl.h"
#include "tests/standins/mfsensorgroup/standin_control.h"

namespace fs = std::filesystem;
using velmora::standin::ReadFileBytes;
using Lines = std::vector<std::string>;

namespace {

std::wstring gRegistrar, gRecording, gMarkerDll, gMarkerProgram, gLoopFolder, gSystem32;

constexpr wchar_t kClassKey[] = L"Software\\Classes\\CLSID\\{5D1E3B7A-2C94-4F60-A8B1-0E6F9C2D4B83}";
const fs::path kDataDirectory = L"C:\\ProgramData\\Velmora";
const fs::path kProtectedFolder = L"C:\\Program Files\\Velmora";
const fs::path kElsewhere = L"C:\\velmora-elsewhere";
constexpr wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const std::string kProtectedList =
    "\\\\?\\C:\\Program Files\\Velmora\t0x80000005\tO:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"
    "(A;OICI;0x1200a9;;;LS)(A;OICI;0x1200a9;;;NS)(A;OICI;0x1200a9;;;AC)";
const std::string kGrant =
    "(A;OICIIO;0x1301bf;;;AU)(A;;0x1201bf;;;AU)(A;OICIIO;0x1301bf;;;LS)(A;;0x1201bf;;;LS)(A;OICIIO;0x1301bf;;;NS)"
    "(A;;0x1201bf;;;NS)";

const std::string kUsage =
    "VelmoraRegistrar\n\n사용법:\n  VelmoraRegistrar.exe status\n  VelmoraRegistrar.exe install-system\n"
    "  VelmoraRegistrar.exe install-all-users\n  VelmoraRegistrar.exe uninstall-system\n"
    "  VelmoraRegistrar.exe register-user\n  VelmoraRegistrar.exe register-system\n"
    "  VelmoraRegistrar.exe register-all-users\n  VelmoraRegistrar.exe remove-user\n"
    "  VelmoraRegistrar.exe remove-system\n  VelmoraRegistrar.exe remove-all-users\n"
    "  VelmoraRegistrar.exe remove-all\n\n메모:\n"
    "  register-system/remove-system/register-all-users는 관리자 PowerShell에서 실행해야 합니다.\n"
    "  VelmoraSource.dll이 등록되어 있어야 가상 카메라가 동작합니다.\n";
const std::string kStatusTail =
    "가상 카메라 표시 이름: Nivra\nMedia Source CLSID: {5D1E3B7A-2C94-4F60-A8B1-0E6F9C2D4B83}\n";
const std::string kSupported = "Media Foundation 소프트웨어 가상 카메라 지원: 예\n" + kStatusTail;
const std::string kUnsupported = "Media Foundation 소프트웨어 가상 카메라 지원: 아니요\n" + kStatusTail;
const std::string kRegistered = "가상 카메라를 등록했습니다.\nWindows 카메라 목록에서 Nivra을 확인하세요.\n";
const std::string kRemoved = "가상 카메라를 제거했습니다.\n";
const std::string kRemovedAll = "Nivra/Vel Mora 가상 카메라 등록을 모두 제거했습니다.\n";
const std::string kAccessAdvice =
    "접근이 거부되었습니다. 아래 항목을 확인하세요:\n  1. 관리자 PowerShell에서 실행했는지 확인하세요.\n"
    "  2. Windows 설정 > 개인정보 및 보안 > 카메라에서 아래 항목을 켜세요:\n     - 카메라 액세스\n"
    "     - 앱에서 카메라에 액세스하도록 허용\n     - 데스크톱 앱에서 카메라에 액세스하도록 허용\n"
    "  3. register_source_machine.ps1로 VelmoraSource.dll을 HKLM에 등록하세요.\n"
    "  4. register-system은 현재 사용자용 영구 등록입니다. 모든 사용자용은 register-all-users입니다.\n";
const std::string kStartAdvice =
    "0x80070005라면 관리자 권한과 Windows 카메라 개인정보 설정을 확인하세요.\n"
    "관리자 PowerShell이라면 register-system을 먼저 사용하세요. 모든 사용자용은 더 엄격하게 막힐 수 있습니다.\n"
    "COM 활성화 오류라면 VelmoraSource.dll 등록 상태를 확인하세요.\n";

std::string Report(const std::string& code, const std::string& call) {
    return "작업 실패: " + code + "\n실패 위치: " + call + "\n";
}

std::string Utf8(std::wstring_view text) {
    std::string bytes(text.size() * 3, '\0');
    bytes.resize(WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), bytes.data(), int(bytes.size()),
                                     nullptr, nullptr));
    return bytes;
}

unsigned long long SystemTime() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

void WriteFileBytes(const fs::path& path, const std::string& bytes) {
    EXPECT_TRUE(std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size())));
}

const std::string kStart = "IMFVirtualCamera::Start\tcallback=null";
const std::string kRemove = "IMFVirtualCamera::Remove";
const std::string kReleased = "IMFVirtualCamera::Release\tcount=0";

std::string CreateLine(int lifetime, int access, const char* name) {
    return "MFCreateVirtualCamera\ttype=0\tlifetime=" + std::to_string(lifetime) + "\taccess=" +
           std::to_string(access) + "\tname=" + name +
           "\tsource={5D1E3B7A-2C94-4F60-A8B1-0E6F9C2D4B83}\tcategories=null\tcount=0";
}

std::string Hex(const void* data, size_t size) {
    std::string hex;
    for (size_t i = 0; i < size; ++i) {
        char digits[3];
        std::snprintf(digits, sizeof(digits), "%02x", static_cast<const unsigned char*>(data)[i]);
        hex += digits;
    }
    return hex;
}

// The camera created, its four properties in order, started and released.
Lines RegisterLines(int lifetime, int access) {
    const std::string key = "IMFVirtualCamera::AddProperty\tkey={6AC1FBF7-45F7-4E06-BDA7-F817EBFA04D1},";
    const INT32 values[2] = {lifetime, access};
    return {CreateLine(lifetime, access, "Nivra"),
            key + "4\ttype=18\tsize=78\tdata=" + Hex(L"{5D1E3B7A-2C94-4F60-A8B1-0E6F9C2D4B83}", 78),
            key + "5\ttype=18\tsize=12\tdata=" + Hex(L"Nivra", 12),
            key + "6\ttype=6\tsize=4\tdata=" + Hex(&values[0], 4),
            key + "7\ttype=6\tsize=4\tdata=" + Hex(&values[1], 4),
            kStart,
            kReleased};
}

// The eight quiet removals, every step answering S_OK.
Lines RemoveAllLines() {
    Lines lines;
    for (const auto& [lifetime, access] : {std::pair{0, 0}, {0, 1}, {1, 0}, {1, 1}}) {
        for (const char* name : {"Nivra", "Vel Mora"}) {
            lines.insert(lines.end(), {CreateLine(lifetime, access, name), kRemove, kReleased});
        }
    }
    return lines;
}

Lines operator+(Lines first, const Lines& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// A REG_SZ value under HKLM (64-bit view) and its stored size in bytes; empty and 0 when absent.
std::pair<std::wstring, DWORD> RegistryText(const std::wstring& subKey, const wchar_t* name) {
    wchar_t data[1024] = {};
    DWORD bytes = sizeof(data);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, subKey.c_str(), name, RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY, nullptr, data,
                     &bytes) != ERROR_SUCCESS) {
        bytes = 0;
    }
    return {bytes ? data : L"", bytes};
}

bool ClassKeyExists() {
    HKEY key = nullptr;
    const bool exists = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kClassKey, 0, KEY_READ | KEY_WOW64_64KEY, &key) == 0;
    return exists && RegCloseKey(key) == ERROR_SUCCESS;
}

// Creates the class key, optionally volatile, and the given subkey.
void CreateClassKey(const std::wstring& subKey, DWORD options) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, (kClassKey + subKey).c_str(), 0, nullptr, options,
                              KEY_WRITE | KEY_WOW64_64KEY, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

void ExpectRegistered(const fs::path& library) {
    const std::wstring server = std::wstring(kClassKey) + L"\\InprocServer32";
    EXPECT_EQ(RegistryText(kClassKey, nullptr), std::pair(std::wstring(L"Nivra Media Source"), DWORD(38)));
    EXPECT_EQ(RegistryText(server, nullptr), std::pair(library.native(), DWORD(library.native().size() + 1) * 2));
    EXPECT_EQ(RegistryText(server, L"ThreadingModel"), std::pair(std::wstring(L"Both"), DWORD(10)));
}

struct HandleCloser {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleCloser>;

struct RunResult {
    DWORD exitCode = 0xDEADBEEF;
    std::string out, err;
    double seconds = 0;
};

std::string ReadAll(HANDLE pipe) {
    std::string bytes;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(pipe, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        bytes.append(buffer, read);
    }
    return bytes;
}

void ExpectRun(const RunResult& result, DWORD exitCode, const std::string& out, const std::string& err) {
    EXPECT_EQ(result.exitCode, exitCode);
    EXPECT_EQ(result.out, out);
    EXPECT_EQ(result.err, err);
}

// Runs a program from the Linux side, for links that are real (Wine's own
// CreateSymbolicLinkW creates nothing); Windows paths are passed as the host's.
std::string Unix(const fs::path& path) {
    using ToUnix = char*(CDECL*)(const wchar_t*);
    const auto toUnix = reinterpret_cast<ToUnix>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* unix = toUnix ? toUnix(path.c_str()) : nullptr;
    const std::string text = unix ? unix : "";
    HeapFree(GetProcessHeap(), 0, unix);
    return text;
}

// Wine cannot wait for a host process: its effect on the path is awaited instead.
void RunOnHost(const std::string& commandLine, const fs::path& path, bool exists) {
    std::wstring line(commandLine.begin(), commandLine.end());
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION information{};
    ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &information));
    const UniqueHandle process(information.hProcess), thread(information.hThread);
    for (int waited = 0; waited < 200 && (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) != exists;
         ++waited) {
        Sleep(50);
    }
    EXPECT_EQ(GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES, exists) << commandLine;
}

void HostLink(const fs::path& target, const fs::path& link, bool symbolic) {
    RunOnHost(std::string("Z:\\bin\\ln ") + (symbolic ? "-s " : "") + "\"" + Unix(target) + "\" \"" + Unix(link) +
                  "\"",
              link, true);
}

// The entries of a folder, sorted; directories end in "/".
Lines Entries(const fs::path& folder) {
    Lines names;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(folder, ignored)) {
        names.push_back(Utf8(entry.path().filename().native()) + (entry.is_directory() ? "/" : ""));
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::wstring PendingRenames() {
    wchar_t data[4096] = {};
    DWORD bytes = sizeof(data);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations", RRF_RT_REG_MULTI_SZ,
                     nullptr, data, &bytes) != ERROR_SUCCESS) {
        return {};
    }
    return std::wstring(data, bytes / sizeof(wchar_t));
}

// A folder per test with the registrar (by default the one that records the access lists
// it applies) and a current directory for it; the control variables are set in this
// process and inherited by the child.
class Registrar : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        const std::string name = std::string(info->test_suite_name()) + "." + info->name();
        PrepareFolder(fs::temp_directory_path() / L"velmora-registrar" / std::wstring(name.begin(), name.end()));
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kClassKey);
        std::error_code ignored;
        for (const fs::path& path : {kDataDirectory, kProtectedFolder, kElsewhere}) {
            fs::remove_all(path, ignored);
        }
    }

    void TearDown() override {
        for (const wchar_t* name : {L"VELMORA_STANDIN_LOG", L"VELMORA_STANDIN_FAIL", L"VELMORA_STANDIN_SUPPORTED",
                                    L"VELMORA_SECURITY_LOG", L"VELMORA_SECURITY_FAIL", L"VELMORA_MARKER_LOG"}) {
            SetEnvironmentVariableW(name, nullptr);
        }
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kClassKey);
    }

    void PrepareFolder(const fs::path& path, const std::wstring& program = gRecording, bool empty = true) {
        folder = path;
        std::error_code ignored;
        if (empty) {
            fs::remove_all(folder, ignored);
        }
        fs::create_directories(folder / L"current");
        ASSERT_TRUE(CopyFileW(program.c_str(), (folder / L"VelmoraRegistrar.exe").c_str(), FALSE));
        SetEnvironmentVariableW(L"VELMORA_STANDIN_LOG", (folder / L"standin.log").c_str());
        SetEnvironmentVariableW(L"VELMORA_SECURITY_LOG", (folder / L"security.log").c_str());
    }

    // Runs the folder's registrar with the raw argument text in the folder's current
    // directory, stdout and stderr through separate pipes (read to their end: nothing the
    // registrar starts may keep them open).
    RunResult Run(const std::wstring& arguments, const wchar_t* fail = nullptr) {
        SetEnvironmentVariableW(L"VELMORA_STANDIN_FAIL", fail);
        DeleteFileW((folder / L"standin.log").c_str());
        DeleteFileW((folder / L"security.log").c_str());
        RunResult result;
        SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
        HANDLE raw[4] = {};
        if (!CreatePipe(&raw[0], &raw[1], &inheritable, 0) || !CreatePipe(&raw[2], &raw[3], &inheritable, 0)) {
            ADD_FAILURE() << "CreatePipe failed";
            return result;
        }
        UniqueHandle outRead(raw[0]), outWrite(raw[1]), errRead(raw[2]), errWrite(raw[3]);
        SetHandleInformation(outRead.get(), HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(errRead.get(), HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = outWrite.get();
        startup.hStdError = errWrite.get();
        const fs::path program = folder / L"VelmoraRegistrar.exe";
        std::wstring commandLine = L"\"" + program.native() + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
        PROCESS_INFORMATION information{};
        const auto started = std::chrono::steady_clock::now();
        const BOOL created = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                            (folder / L"current").c_str(), &startup, &information);
        outWrite.reset();
        errWrite.reset();
        if (!created) {
            ADD_FAILURE() << "CreateProcessW failed: " << GetLastError();
            return result;
        }
        UniqueHandle process(information.hProcess), thread(information.hThread);
        std::thread errorReader([&] { result.err = ReadAll(errRead.get()); });
        result.out = ReadAll(outRead.get());
        errorReader.join();
        EXPECT_EQ(WaitForSingleObject(process.get(), 60000), WAIT_OBJECT_0);
        GetExitCodeProcess(process.get(), &result.exitCode);
        result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        return result;
    }

    Lines LogLines(const wchar_t* name) const {
        return velmora::standin::ReadCallLog((folder / name).native());
    }
    Lines Calls() const { return LogLines(L"standin.log"); }
    // The access lists applied: the protected folder's, then the data directory's, whose
    // list is the one Wine reads back for every directory with the grant added.
    Lines SecurityCalls() const { return LogLines(L"security.log"); }
    const Lines kAccessLists{kProtectedList, "\\\\?\\C:\\ProgramData\\Velmora\t0x20000004\tD:(A;OICI;FA;;;SY)"
                                             "(A;OICI;FA;;;S-1-5-21-0-0-0-1000)(A;OICI;0x1200a9;;;WD)" + kGrant};

    void PutLibrary() { WriteFileBytes(folder / L"VelmoraSource.dll", kLibrary); }

    // Runs an installation that gets as far as the copy: checks the output, which starts
    // with the line naming the time-stamped copy, the copy and the registry pointing at it.
    RunResult Install(const wchar_t* verb, DWORD exitCode, const std::string& rest, const std::string& err = "",
                      const wchar_t* fail = nullptr, fs::path* copy = nullptr) {
        const unsigned long long before = SystemTime();
        const RunResult result = Run(verb, fail);
        const std::string prefix = "VelmoraSource.dll installed: C:\\Program Files\\Velmora\\VelmoraSource_";
        if (result.out.compare(0, prefix.size(), prefix) != 0 || result.out.find(".dll\n") == std::string::npos) {
            ADD_FAILURE() << result.out << result.err;
            return result;
        }
        const unsigned long long stamp = std::stoull(result.out.substr(prefix.size()));
        EXPECT_GE(stamp, before);
        EXPECT_LE(stamp, SystemTime());
        const fs::path installed = kProtectedFolder / (L"VelmoraSource_" + std::to_wstring(stamp) + L".dll");
        ExpectRun(result, exitCode, "VelmoraSource.dll installed: " + Utf8(installed.native()) + "\n" + rest, err);
        EXPECT_EQ(ReadFileBytes(installed.native()), kLibrary);
        ExpectRegistered(installed);
        if (copy) {
            *copy = installed;
        }
        return result;
    }

    void ExpectNothingTouched(size_t accessLists = 0) {
        EXPECT_TRUE(Calls().empty());
        EXPECT_EQ(SecurityCalls().size(), accessLists);
        EXPECT_FALSE(ClassKeyExists());
        for (const std::string& name : Entries(kProtectedFolder)) {
            EXPECT_EQ(name.find("VelmoraSource_"), std::string::npos) << name;
        }
    }

    const std::string kLibrary = "not a real library, only bytes to copy";
    fs::path folder;
};

TEST_F(Registrar, CommandLineAndStatus) {
    for (const wchar_t* arguments : {L"", L"status extra", L"STATUS", L"Status", L"\"status \"", L"\"\"",
                                     L"remove-all-user"}) {
        SCOPED_TRACE(Utf8(arguments));
        ExpectRun(Run(arguments), 1, kUsage, "");
        EXPECT_TRUE(Calls().empty());
    }

    ExpectRun(Run(L"status"), 0, kSupported, "");
    EXPECT_EQ(Calls(), Lines{"MFIsVirtualCameraTypeSupported\ttype=0"});
    ExpectRun(Run(L"status", L"MFIsVirtualCameraTypeSupported=0x80004005"), 1, "",
              Report("0x80004005", "MFIsVirtualCameraTypeSupported"));
    ExpectRun(Run(L"status", L"MFIsVirtualCameraTypeSupported=0x80070005"), 1, "",
              Report("0x80070005", "MFIsVirtualCameraTypeSupported") + kAccessAdvice);
    ExpectRun(Run(L"status", L"MFIsVirtualCameraTypeSupported=0x00000001"), 0, kSupported, "");  // S_FALSE
    SetEnvironmentVariableW(L"VELMORA_STANDIN_SUPPORTED", L"0");
    ExpectRun(Run(L"status"), 2, kUnsupported, "");

    // The program never asks for elevation.
    HMODULE image = LoadLibraryExW(gRegistrar.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    HRSRC resource = image ? FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24)) : nullptr;
    ASSERT_NE(resource, nullptr);
    const std::string manifest(static_cast<const char*>(LockResource(LoadResource(image, resource))),
                               SizeofResource(image, resource));
    FreeLibrary(image);
    EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"), std::string::npos);
}

// Run in prefixes of their own, whose System32 holds Windows 10's mfsensorgroup.dll (no
// camera functions) or none at all; the load error is reported.
TEST_F(Registrar, SystemsWithoutCameraFunctions) {
    const std::string missing = gSystem32 == L"win10" ? "0x8007007F" : "0x8007007E";
    ExpectRun(Run(L"status"), 2, kUnsupported, "");
    ExpectRun(Run(L"register-system"), 1, "", Report(missing, "MFCreateVirtualCamera"));
    ExpectRun(Run(L"remove-user"), 1, "", Report(missing, "MFCreateVirtualCamera"));
    ExpectRun(Run(L"remove-all"), 0, kRemovedAll, "");
    PutLibrary();
    Install(L"install-all-users", 1, kRemovedAll, Report(missing, "MFCreateVirtualCamera"));
    EXPECT_TRUE(Calls().empty());
}

// Markers named like the DLLs the registrar uses and the tool it once ran, beside the
// shipped program and in its current directory, never run.
TEST_F(Registrar, NothingRunsFromTheProgramsFolderOrCurrentDirectory) {
    PrepareFolder(folder, gRegistrar);
    PutLibrary();
    for (const fs::path& planted : {folder, folder / L"current"}) {
        for (const auto& [marker, name] : {std::pair{gMarkerDll, L"mfplat.dll"}, {gMarkerDll, L"mfsensorgroup.dll"},
                                           {gMarkerProgram, L"icacls.exe"}}) {
            ASSERT_TRUE(CopyFileW(marker.c_str(), (planted / name).c_str(), FALSE));
        }
    }
    const fs::path markerLog = folder / L"marker.log";
    SetEnvironmentVariableW(L"VELMORA_MARKER_LOG", markerLog.c_str());
    ExpectRun(Run(L"status"), 0, kSupported, "");
    Install(L"install-system", 0, kRemovedAll + kRegistered);
    EXPECT_EQ(ReadFileBytes(markerLog.native()), "");
    // The markers do record when they run.
    FreeLibrary(LoadLibraryW((folder / L"mfplat.dll").c_str()));
    EXPECT_NE(ReadFileBytes(markerLog.native()), "");
}

// Each verb with its lifetime and access; a failing step is reported, nothing follows it
// but the release, and only access denied brings the advice.
TEST_F(Registrar, CameraVerbsStopAtTheFirstFailingStep) {
    const struct {
        const wchar_t* verb;
        int lifetime, access;
        const std::string& out;
    } verbs[] = {{L"register-user", 0, 0, kRegistered}, {L"register-system", 1, 0, kRegistered},
                 {L"register-all-users", 1, 1, kRegistered}, {L"remove-user", 0, 0, kRemoved},
                 {L"remove-system", 1, 0, kRemoved}, {L"remove-all-users", 1, 1, kRemoved}};
    for (const auto& verb : verbs) {
        SCOPED_TRACE(Utf8(verb.verb));
        const Lines removal{CreateLine(verb.lifetime, verb.access, "Nivra"), kRemove, kReleased};
        ExpectRun(Run(verb.verb), 0, verb.out, "");
        EXPECT_EQ(Calls(), &verb.out == &kRemoved ? removal : RegisterLines(verb.lifetime, verb.access));
        ExpectRun(Run(verb.verb, L"MFCreateVirtualCamera=0x80004005"), 1, "",
                  Report("0x80004005", "MFCreateVirtualCamera"));
        EXPECT_EQ(Calls(), Lines{removal[0] + "\tresult=0x80004005"});
    }
    ExpectRun(Run(L"remove-system", L"IMFVirtualCamera::Remove=0x80070005"), 1, "",
              Report("0x80070005", "IMFVirtualCamera::Remove") + kAccessAdvice);
    EXPECT_EQ(Calls(), (Lines{CreateLine(1, 0, "Nivra"), kRemove + "\tresult=0x80070005", kReleased}));

    const char* names[] = {"SourceId", "FriendlyName", "Lifetime", "Access"};
    for (int failing = 1; failing <= 4; ++failing) {
        SCOPED_TRACE(failing);
        const std::wstring fail = L"IMFVirtualCamera::AddProperty#" + std::to_wstring(failing) + L"=0x80004005";
        ExpectRun(Run(L"register-all-users", fail.c_str()), 1, "",
                  Report("0x80004005", std::string("IMFVirtualCamera::AddProperty(") + names[failing - 1] + ")"));
        Lines expected = RegisterLines(1, 1);
        expected.resize(1 + failing);
        expected.back() += "\tresult=0x80004005";
        EXPECT_EQ(Calls(), expected + Lines{kReleased});  // no Start
    }
    ExpectRun(Run(L"register-user", L"IMFVirtualCamera::Start=0x80070005"), 1, "",
              Report("0x80070005", "IMFVirtualCamera::Start") + kAccessAdvice + kStartAdvice);
    Lines expected = RegisterLines(0, 0);
    expected[5] += "\tresult=0x80070005";
    EXPECT_EQ(Calls(), expected);
    ExpectRun(Run(L"register-user", L"IMFVirtualCamera::Start=0x80040154"), 1, "",
              Report("0x80040154", "IMFVirtualCamera::Start") + kStartAdvice);
}

TEST_F(Registrar, RemoveAllAndUninstallTryEveryRegistrationQuietly) {
    for (const wchar_t* verb : {L"remove-all", L"uninstall-system"}) {
        SCOPED_TRACE(Utf8(verb));
        ExpectRun(Run(verb), 0, kRemovedAll, "");
        EXPECT_EQ(Calls(), RemoveAllLines());
        ExpectRun(Run(verb, L"MFCreateVirtualCamera=0x80070005"), 0, kRemovedAll, "");
        const Lines calls = Calls();
        ASSERT_EQ(calls.size(), 8u);
        EXPECT_EQ(calls[7], CreateLine(1, 1, "Vel Mora") + "\tresult=0x80070005");
        ExpectRun(Run(verb, L"IMFVirtualCamera::Remove=0x80004005"), 0, kRemovedAll, "");
        EXPECT_EQ(Calls().size(), 24u);
    }
    // uninstall-system also deletes the library copies in both folders; one still in use
    // goes at the next restart.
    CreateClassKey(L"\\InprocServer32", 0);
    for (const fs::path& installed : {kProtectedFolder, kDataDirectory}) {
        fs::create_directories(installed);
        for (const wchar_t* name : {L"VelmoraSource.dll", L"VelmoraSource_1.dll", L"VelmoraSource_2.dll"}) {
            WriteFileBytes(installed / name, "old");
        }
    }
    const fs::path inUse = kProtectedFolder / L"VelmoraSource_2.dll";
    UniqueHandle held(CreateFileW(inUse.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ExpectRun(Run(L"uninstall-system"), 0, kRemovedAll, "");
    held.reset();
    EXPECT_FALSE(ClassKeyExists());
    EXPECT_EQ(Entries(kProtectedFolder), (Lines{"VelmoraSource.dll", "VelmoraSource_2.dll"}));
    EXPECT_EQ(Entries(kDataDirectory), Lines{"VelmoraSource.dll"});
    EXPECT_EQ(PendingRenames(), L"\\??\\" + inUse.native() + std::wstring(3, L'\0'));
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations");
}

// Old copies in both folders go by the rules: regular files named VelmoraSource_*.dll,
// exactly so in case. Per-user ProgramData and ProgramFiles values change nothing.
TEST_F(Registrar, InstallInstallsCopiesRegistersAndCleansUp) {
    PutLibrary();
    for (const fs::path& installed : {kProtectedFolder, kDataDirectory}) {
        fs::create_directories(installed / L"VelmoraSource_2.dll");
        for (const wchar_t* name : {L"VelmoraSource.dll", L"VelmoraSource_7.DLL", L"Other_1.dll",
                                    L"VelmoraSource_1.dll", L"VelmoraSource_.dll", L"source.log", L"decode_mode.txt"}) {
            WriteFileBytes(installed / name, "old");
        }
    }
    SetEnvironmentVariableW(L"ProgramData", kElsewhere.c_str());
    SetEnvironmentVariableW(L"ProgramFiles", kElsewhere.c_str());
    fs::path copy, secondCopy;
    const RunResult result = Install(L"install-system", 0, kRemovedAll + kRegistered, "", nullptr, &copy);
    EXPECT_LT(result.seconds, 5.0);  // the camera services do not exist here: no waiting
    EXPECT_EQ(Calls(), RemoveAllLines() + RegisterLines(1, 0));
    EXPECT_EQ(SecurityCalls(), kAccessLists);
    const Lines kept{"Other_1.dll", "VelmoraSource.dll", "VelmoraSource_2.dll/", "VelmoraSource_7.DLL",
                     "decode_mode.txt"};
    EXPECT_EQ(Entries(kDataDirectory), kept);  // "source.log" deleted
    Lines withCopy = kept + Lines{Utf8(copy.filename().native()), "source.log"};
    std::sort(withCopy.begin(), withCopy.end());
    EXPECT_EQ(Entries(kProtectedFolder), withCopy);
    EXPECT_FALSE(fs::exists(kElsewhere));

    // Again: a newer copy, the registry follows it, the first copy goes.
    Install(L"install-all-users", 0, kRemovedAll + kRegistered, "", nullptr, &secondCopy);
    SetEnvironmentVariableW(L"ProgramData", nullptr);
    SetEnvironmentVariableW(L"ProgramFiles", nullptr);
    EXPECT_GT(std::stoull(secondCopy.stem().native().substr(14)), std::stoull(copy.stem().native().substr(14)));
    EXPECT_FALSE(fs::exists(copy));
    EXPECT_EQ(Calls(), RemoveAllLines() + RegisterLines(1, 1));
    EXPECT_EQ(SecurityCalls(), kAccessLists);
}

TEST_F(Registrar, InstallFailuresBeforeTheRegistrationChangeNothingElse) {
    // Not beside the registrar, in a folder whose name no ANSI code page holds.
    const fs::path own = folder;
    PrepareFolder(own / L"카메라 설치");
    ExpectRun(Run(L"install-system"), 1, "",
              "VelmoraSource.dll not found: " + Utf8(folder.native()) + "\\VelmoraSource.dll\n");
    ExpectNothingTouched();
    EXPECT_FALSE(fs::exists(kDataDirectory));
    EXPECT_FALSE(fs::exists(kProtectedFolder));

    // A symbolic link to itself: neither present nor absent.
    PrepareFolder(gLoopFolder, gRecording, false);
    ExpectRun(Run(L"install-all-users"), 1, "",
              "VelmoraSource.dll check failed (error 1921): " + Utf8(gLoopFolder) + "\\VelmoraSource.dll\n");
    ExpectNothingTouched();
    EXPECT_FALSE(fs::exists(kDataDirectory));
    std::error_code ignored;
    fs::remove(gLoopFolder + L"\\VelmoraRegistrar.exe", ignored);
    fs::remove_all(gLoopFolder + L"\\current", ignored);

    // Links made from the Linux side, a file where a folder belongs, an access list that
    // cannot be applied: one line, nothing changed where the links lead.
    PrepareFolder(own);
    PutLibrary();
    const fs::path log = kDataDirectory / L"source.log";
    const struct {
        fs::path link;  // empty: no link; the link's target is kElsewhere or a file in it
        bool symbolic;
        const wchar_t* failingCall;
        std::string line;
    } refusals[] = {
        {kProtectedFolder, true, nullptr, "Link refused: C:\\Program Files\\Velmora\n"},
        {kDataDirectory, true, nullptr, "Link refused: C:\\ProgramData\\Velmora\n"},
        {log, true, nullptr, "Link refused: C:\\ProgramData\\Velmora\\source.log\n"},
        {log, false, nullptr, "Link refused: C:\\ProgramData\\Velmora\\source.log\n"},
        {{}, false, L"1", "Access list could not be set (error 5): C:\\Program Files\\Velmora\n"},
        {{}, false, L"2", "Access list could not be set (error 5): C:\\ProgramData\\Velmora\n"},
    };
    for (const auto& refusal : refusals) {
        SCOPED_TRACE(refusal.line);
        for (const fs::path& path : {kDataDirectory, kProtectedFolder, kElsewhere}) {
            fs::remove_all(path, ignored);
        }
        fs::create_directories(kElsewhere);
        fs::create_directories(kDataDirectory);
        WriteFileBytes(kElsewhere / L"source.log", "kept");
        if (!refusal.link.empty()) {
            fs::remove(refusal.link, ignored);
            HostLink(refusal.link == log ? kElsewhere / L"source.log" : kElsewhere, refusal.link, refusal.symbolic);
        }
        SetEnvironmentVariableW(L"VELMORA_SECURITY_FAIL", refusal.failingCall);
        ExpectRun(Run(L"install-system"), 1, "", refusal.line);
        ExpectNothingTouched(refusal.failingCall ? std::wcstoul(refusal.failingCall, nullptr, 10) : 0);
        EXPECT_EQ(Entries(kElsewhere), Lines{"source.log"});
        EXPECT_EQ(ReadFileBytes((kElsewhere / L"source.log").native()), "kept");
        if (!refusal.link.empty()) {
            RunOnHost("Z:\\bin\\rm \"" + Unix(refusal.link) + "\"", refusal.link, false);
        }
    }
    SetEnvironmentVariableW(L"VELMORA_SECURITY_FAIL", nullptr);
    fs::remove_all(kProtectedFolder, ignored);
    WriteFileBytes(kProtectedFolder, "a file");
    ExpectRun(Run(L"install-system"), 1, "", "Not a plain directory: C:\\Program Files\\Velmora\n");
    ExpectNothingTouched();
    fs::remove(kProtectedFolder, ignored);

    // A folder where the library should be: present, but no file to copy.
    DeleteFileW((folder / L"VelmoraSource.dll").c_str());
    fs::create_directories(folder / L"VelmoraSource.dll");
    const RunResult result = Run(L"install-system");
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(std::regex_match(result.err, std::regex("VelmoraSource\\.dll copy failed: [0-9]+\nClose Windows "
                                                        "Camera, OBS, Zoom, and Nivra preview, then try again\\.\n")))
        << result.err;
    ExpectNothingTouched(2);
}

TEST_F(Registrar, InstallFailuresAfterTheCopyKeepIt) {
    // Wine never denies HKLM, but a volatile class key refuses a lasting subkey.
    PutLibrary();
    CreateClassKey(L"", REG_OPTION_VOLATILE);
    fs::create_directories(kProtectedFolder);
    WriteFileBytes(kProtectedFolder / L"VelmoraSource_1.dll", "old");
    ExpectRun(Run(L"install-system"), 1, "", "COM InprocServer32 registry key creation failed: 1021\n");
    EXPECT_TRUE(Calls().empty());
    EXPECT_EQ(Entries(kProtectedFolder).size(), 2u);  // old and new
    EXPECT_TRUE(fs::exists(kProtectedFolder / L"VelmoraSource_1.dll"));
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kClassKey);

    // The camera registration fails after a complete installation.
    Install(L"install-system", 1, kRemovedAll,
            Report("0x80070005", "IMFVirtualCamera::Start") + kAccessAdvice + kStartAdvice,
            L"IMFVirtualCamera::Start=0x80070005");
}

// The access lists as data (Wine keeps none, and every owner reads back as the process
// user): the grant added to lists of every shape, and the owners an existing protected
// folder may have.
TEST(RegistrarAccess, DataDirectoryGrantAndFolderOwners) {
    const struct {
        const wchar_t* current;
        std::string granted;
    } grants[] = {
        {L"D:", "D:" + kGrant},
        // Explicit entries (a deny first) stay before the grant, inherited ones behind it.
        {L"D:(D;;FA;;;S-1-5-21-1-2-3-1001)(A;OICI;FA;;;BA)(A;OICIID;FA;;;SY)(A;CIID;0x100116;;;BU)",
         "D:(D;;FA;;;S-1-5-21-1-2-3-1001)(A;OICI;FA;;;BA)" + kGrant + "(A;OICIID;FA;;;SY)(A;CIID;0x100116;;;BU)"},
        // An earlier installation's Modify, with DELETE on the directory, is replaced; so is
        // the grant itself (a second installation changes nothing); a deny and inherited
        // entries of the same accounts stay.
        {L"D:(A;OICI;0x1301bf;;;AU)(A;OICI;0x1301bf;;;LS)(A;OICI;0x1301bf;;;NS)(A;OICIID;FA;;;SY)",
         "D:" + kGrant + "(A;OICIID;FA;;;SY)"},
        {L"D:(D;;WD;;;NS)(A;OICIIO;0x1301bf;;;AU)(A;;0x1201bf;;;AU)(A;OICIID;0x1301bf;;;LS)",
         "D:(D;;WD;;;NS)" + kGrant + "(A;OICIID;0x1301bf;;;LS)"},
    };
    for (const auto& grant : grants) {
        SCOPED_TRACE(Utf8(grant.current));
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(grant.current, SDDL_REVISION_1, &descriptor,
                                                                         nullptr));
        const velmora::UniqueLocal held(descriptor);
        PACL current = nullptr;
        BOOL present = FALSE, defaulted = FALSE;
        ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &current, &defaulted));
        velmora::UniqueLocal granted;
        ASSERT_EQ(velmora::GrantDataDirectoryAccess(current, granted), DWORD(ERROR_SUCCESS));
        EXPECT_EQ(Utf8(velmora::test::SecuritySddl(DACL_SECURITY_INFORMATION, nullptr,
                                                   static_cast<PACL>(granted.get()))),
                  grant.granted);
    }

    const wchar_t* user = L"S-1-5-21-1-2-3-1001";
    const std::wstring trustedInstaller = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-227147846";
    const struct {
        std::wstring owner;
        bool accepted;
    } owners[] = {{L"BA", true}, {L"SY", true}, {trustedInstaller + L"4", true}, {user, true},
                  {L"S-1-5-21-1-2-3-1002", false}, {L"BU", false}, {L"AU", false}, {trustedInstaller + L"5", false},
                  {L"CO", false}};
    PSID processUser = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidW(user, &processUser));
    const velmora::UniqueLocal heldUser(processUser);
    for (const auto& owner : owners) {
        PSID sid = nullptr;
        ASSERT_TRUE(ConvertStringSidToSidW(owner.owner.c_str(), &sid));
        const velmora::UniqueLocal held(sid);
        EXPECT_EQ(velmora::IsAcceptedFolderOwner(sid, processUser), owner.accepted) << Utf8(owner.owner);
    }
    EXPECT_FALSE(velmora::IsAcceptedFolderOwner(nullptr, processUser));
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc != 7) {
        std::fprintf(stderr, "usage: registrar_test REGISTRAR RECORDING_REGISTRAR MARKER_DLL MARKER_PROGRAM "
                             "LOOP_FOLDER win11|win10|none\n");
        return 2;
    }
    std::wstring* paths[] = {&gRegistrar, &gRecording, &gMarkerDll, &gMarkerProgram, &gLoopFolder};
    for (int i = 0; i < 5; ++i) {
        const std::string path = argv[i + 1];
        *paths[i] = L"Z:" + fs::path(path).make_preferred().native();  // Wine's drive for the Linux root
    }
    const std::string system32 = argv[6];
    gSystem32.assign(system32.begin(), system32.end());
    return RUN_ALL_TESTS();
}
