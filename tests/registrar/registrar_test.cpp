// Runs the real VelmoraRegistrar.exe as a child process from per-test folders (registrar
// copy, stand-in mfsensorgroup.dll, recording icacls.exe, library file) and checks its
// output bytes, exit codes, the stand-in's call log, the data directory and the registry.
// Arguments (Linux paths): registrar, stand-in DLL, legacy stand-in DLL, recording
// icacls.exe, a folder whose VelmoraSource.dll is a symbolic link to itself.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/standins/mfsensorgroup/standin_control.h"

namespace fs = std::filesystem;
using velmora::standin::ReadFileBytes;
using Lines = std::vector<std::string>;

namespace {

std::wstring gRegistrar, gStandIn, gLegacyStandIn, gIcacls, gLoopFolder, gProgramData;

constexpr wchar_t kClassKey[] = L"Software\\Classes\\CLSID\\{5D1E3B7A-2C94-4F60-A8B1-0E6F9C2D4B83}";
const fs::path kDataDirectory = L"C:\\ProgramData\\Velmora";

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

// A folder per test with the registrar, the stand-in and the recording icacls.exe; the
// control variables are set in this process and inherited by the child.
class Registrar : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        const std::string name = std::string(info->test_suite_name()) + "." + info->name();
        PrepareFolder(fs::temp_directory_path() / L"velmora-registrar" / std::wstring(name.begin(), name.end()));
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kClassKey);
        std::error_code ignored;
        fs::remove_all(kDataDirectory, ignored);
    }

    void TearDown() override {
        for (const wchar_t* name : {L"VELMORA_STANDIN_LOG", L"VELMORA_STANDIN_FAIL", L"VELMORA_STANDIN_SUPPORTED",
                                    L"VELMORA_ICACLS_LOG"}) {
            SetEnvironmentVariableW(name, nullptr);
        }
        SetEnvironmentVariableW(L"ProgramData", gProgramData.c_str());
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kClassKey);
    }

    void PrepareFolder(const fs::path& path, const std::wstring& standIn = gStandIn, bool empty = true) {
        folder = path;
        std::error_code ignored;
        if (empty) {
            fs::remove_all(folder, ignored);
        }
        fs::create_directories(folder);
        ASSERT_TRUE(CopyFileW(gRegistrar.c_str(), (folder / L"VelmoraRegistrar.exe").c_str(), FALSE));
        ASSERT_TRUE(CopyFileW(gIcacls.c_str(), (folder / L"icacls.exe").c_str(), FALSE));
        if (!standIn.empty()) {
            ASSERT_TRUE(CopyFileW(standIn.c_str(), (folder / L"mfsensorgroup.dll").c_str(), FALSE));
        }
        SetEnvironmentVariableW(L"VELMORA_STANDIN_LOG", (folder / L"standin.log").c_str());
        SetEnvironmentVariableW(L"VELMORA_ICACLS_LOG", (folder / L"icacls.log").c_str());
    }

    // Runs the folder's registrar with the raw argument text, stdout and stderr through
    // separate pipes (read to their end: nothing the registrar starts may keep them open).
    RunResult Run(const std::wstring& arguments, const wchar_t* fail = nullptr) {
        SetEnvironmentVariableW(L"VELMORA_STANDIN_FAIL", fail);
        DeleteFileW((folder / L"standin.log").c_str());
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
                                            nullptr, &startup, &information);
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

    Lines Calls() const {
        Lines lines;
        for (const auto& line : velmora::standin::ReadCallLog((folder / L"standin.log").native())) {
            lines.push_back(line.raw);
        }
        return lines;
    }

    std::string IcaclsLog() const { return ReadFileBytes((folder / L"icacls.log").native()); }

    void PutLibrary() { WriteFileBytes(folder / L"VelmoraSource.dll", kLibrary); }

    // Runs an installation that gets as far as the copy: checks the output, which starts
    // with the line naming the time-stamped copy, the copy and the registry pointing at it.
    RunResult Install(const wchar_t* verb, const fs::path& dataDirectory, DWORD exitCode, const std::string& rest,
                      const std::string& err = "", const wchar_t* fail = nullptr, fs::path* copy = nullptr) {
        const unsigned long long before = SystemTime();
        const RunResult result = Run(verb, fail);
        const std::string prefix = "VelmoraSource.dll installed: " + Utf8(dataDirectory.native()) + "\\VelmoraSource_";
        if (result.out.compare(0, prefix.size(), prefix) != 0 || result.out.find(".dll\n") == std::string::npos) {
            ADD_FAILURE() << result.out;
            return result;
        }
        const unsigned long long stamp = std::stoull(result.out.substr(prefix.size()));
        EXPECT_GE(stamp, before);
        EXPECT_LE(stamp, SystemTime());
        const fs::path installed = dataDirectory / (L"VelmoraSource_" + std::to_wstring(stamp) + L".dll");
        ExpectRun(result, exitCode, "VelmoraSource.dll installed: " + Utf8(installed.native()) + "\n" + rest, err);
        EXPECT_EQ(ReadFileBytes(installed.native()), kLibrary);
        ExpectRegistered(installed);
        if (copy) {
            *copy = installed;
        }
        return result;
    }

    std::string IcaclsLine(const fs::path& dataDirectory) const {
        return Utf8(L"icacls.exe \"" + dataDirectory.native() +
                    L"\" /grant \"*S-1-5-11:(OI)(CI)M\" \"*S-1-5-19:(OI)(CI)M\" \"*S-1-5-20:(OI)(CI)M\"\n");
    }

    void ExpectNothingTouched() {
        EXPECT_TRUE(Calls().empty());
        EXPECT_EQ(IcaclsLog(), "");
        EXPECT_FALSE(ClassKeyExists());
    }

    const std::string kLibrary = "not a real library, only bytes to copy";
    fs::path folder;
};

TEST_F(Registrar, CommandLineStatusAndSystemsWithoutVirtualCameras) {
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

    PrepareFolder(folder, gLegacyStandIn);  // Windows 10's mfsensorgroup.dll: no camera functions
    ExpectRun(Run(L"status"), 2, kUnsupported, "");
    ExpectRun(Run(L"register-system"), 1, "", Report("0x8007007F", "MFCreateVirtualCamera"));
    ExpectRun(Run(L"remove-user"), 1, "", Report("0x8007007F", "MFCreateVirtualCamera"));
    ExpectRun(Run(L"remove-all"), 0, kRemovedAll, "");
    EXPECT_TRUE(Calls().empty());
    PrepareFolder(folder, L"");  // no mfsensorgroup.dll at all: the load error is reported
    ExpectRun(Run(L"status"), 2, kUnsupported, "");
    ExpectRun(Run(L"register-user"), 1, "", Report("0x8007007E", "MFCreateVirtualCamera"));

    // The program never asks for elevation.
    HMODULE image = LoadLibraryExW(gRegistrar.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    HRSRC resource = image ? FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24)) : nullptr;
    ASSERT_NE(resource, nullptr);
    const std::string manifest(static_cast<const char*>(LockResource(LoadResource(image, resource))),
                               SizeofResource(image, resource));
    FreeLibrary(image);
    EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"), std::string::npos);
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
    CreateClassKey(L"\\InprocServer32", 0);
    ExpectRun(Run(L"uninstall-system"), 0, kRemovedAll, "");
    EXPECT_FALSE(ClassKeyExists());
}

TEST_F(Registrar, InstallInstallsCopiesRegistersAndCleansUp) {
    PutLibrary();
    fs::create_directories(kDataDirectory / L"VelmoraSource_2.dll");
    for (const wchar_t* name : {L"VelmoraSource.dll", L"VelmoraSource_7.DLL", L"Other_1.dll", L"VelmoraSource_1.dll",
                                L"VelmoraSource_.dll", L"source.log", L"decode_mode.txt"}) {
        WriteFileBytes(kDataDirectory / name, "old");
    }
    fs::path copy, secondCopy;
    const RunResult result =
        Install(L"install-system", kDataDirectory, 0, kRemovedAll + kRegistered, "", nullptr, &copy);
    EXPECT_LT(result.seconds, 5.0);  // the camera services do not exist here: no waiting
    EXPECT_EQ(Calls(), RemoveAllLines() + RegisterLines(1, 0));
    EXPECT_EQ(IcaclsLog(), IcaclsLine(kDataDirectory));
    for (const wchar_t* name : {L"VelmoraSource.dll", L"VelmoraSource_7.DLL", L"Other_1.dll", L"decode_mode.txt"}) {
        EXPECT_TRUE(fs::is_regular_file(kDataDirectory / name)) << Utf8(name);
    }
    EXPECT_TRUE(fs::is_directory(kDataDirectory / L"VelmoraSource_2.dll"));
    for (const wchar_t* name : {L"VelmoraSource_1.dll", L"VelmoraSource_.dll", L"source.log"}) {
        EXPECT_FALSE(fs::exists(kDataDirectory / name)) << Utf8(name);
    }

    // Again: a newer copy, the registry follows it, the first copy goes.
    Install(L"install-all-users", kDataDirectory, 0, kRemovedAll + kRegistered, "", nullptr, &secondCopy);
    EXPECT_GT(std::stoull(secondCopy.stem().native().substr(14)), std::stoull(copy.stem().native().substr(14)));
    EXPECT_FALSE(fs::exists(copy));
    EXPECT_EQ(Calls(), RemoveAllLines() + RegisterLines(1, 1));
}

TEST_F(Registrar, InstallProgramDataDecidesTheDataDirectory) {
    PutLibrary();
    const fs::path custom = L"C:\\velmora-registrar-tests\\공용 데이터";
    std::error_code ignored;
    fs::remove_all(custom.parent_path(), ignored);
    SetEnvironmentVariableW(L"ProgramData", custom.c_str());
    Install(L"install-system", custom / L"Velmora", 0, kRemovedAll + kRegistered);
    EXPECT_EQ(IcaclsLog(), IcaclsLine(custom / L"Velmora"));
    EXPECT_FALSE(fs::exists(kDataDirectory));
    fs::remove_all(custom.parent_path(), ignored);

    SetEnvironmentVariableW(L"ProgramData", L"");
    Install(L"install-system", kDataDirectory, 0, kRemovedAll + kRegistered);
}

TEST_F(Registrar, InstallFailuresBeforeTheRegistrationChangeNothingElse) {
    // Not beside the registrar, in a folder whose name no ANSI code page holds.
    const fs::path own = folder;
    PrepareFolder(own / L"카메라 설치");
    ExpectRun(Run(L"install-system"), 1, "",
              "VelmoraSource.dll not found: " + Utf8(folder.native()) + "\\VelmoraSource.dll\n");
    ExpectNothingTouched();
    EXPECT_FALSE(fs::exists(kDataDirectory));

    // A symbolic link to itself: neither present nor absent.
    PrepareFolder(gLoopFolder, gStandIn, false);
    ExpectRun(Run(L"install-all-users"), 1, "",
              "VelmoraSource.dll check failed (error 1921): " + Utf8(gLoopFolder) + "\\VelmoraSource.dll\n");
    ExpectNothingTouched();
    EXPECT_FALSE(fs::exists(kDataDirectory));
    for (const wchar_t* copied : {L"VelmoraRegistrar.exe", L"icacls.exe", L"mfsensorgroup.dll"}) {
        DeleteFileW((gLoopFolder + L"\\" + copied).c_str());
    }

    // The longest ProgramData that reaches a program under Wine (it cuts longer ones to
    // 32766 characters) is used whole; its data directory cannot be created.
    PrepareFolder(own);
    PutLibrary();
    const std::wstring longest = L"C:\\velmora-registrar-tests\\" + std::wstring(32766 - 27, L'a');
    SetEnvironmentVariableW(L"ProgramData", longest.c_str());
    ExpectRun(Run(L"install-system"), 1, "", "Install directory creation failed: " + Utf8(longest) + "\\Velmora\n");
    ExpectNothingTouched();
    SetEnvironmentVariableW(L"ProgramData", gProgramData.c_str());

    // A folder where the library should be: present, but no file to copy.
    DeleteFileW((folder / L"VelmoraSource.dll").c_str());
    fs::create_directories(folder / L"VelmoraSource.dll");
    const RunResult result = Run(L"install-system");
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(std::regex_match(result.err, std::regex("VelmoraSource\\.dll copy failed: [0-9]+\nClose Windows "
                                                        "Camera, OBS, Zoom, and Nivra preview, then try again\\.\n")))
        << result.err;
    ExpectNothingTouched();
}

TEST_F(Registrar, InstallFailuresAfterTheCopyKeepIt) {
    // Wine never denies HKLM, but a volatile class key refuses a lasting subkey.
    PutLibrary();
    CreateClassKey(L"", REG_OPTION_VOLATILE);
    fs::create_directories(kDataDirectory);
    WriteFileBytes(kDataDirectory / L"VelmoraSource_1.dll", "old");
    ExpectRun(Run(L"install-system"), 1, "", "COM InprocServer32 registry key creation failed: 1021\n");
    EXPECT_TRUE(Calls().empty());
    EXPECT_EQ(IcaclsLog(), IcaclsLine(kDataDirectory));
    EXPECT_EQ(std::distance(fs::directory_iterator(kDataDirectory), fs::directory_iterator()), 2);  // old and new
    EXPECT_TRUE(fs::exists(kDataDirectory / L"VelmoraSource_1.dll"));
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kClassKey);

    // The camera registration fails after a complete installation.
    Install(L"install-system", kDataDirectory, 1, kRemovedAll,
            Report("0x80070005", "IMFVirtualCamera::Start") + kAccessAdvice + kStartAdvice,
            L"IMFVirtualCamera::Start=0x80070005");
    PrepareFolder(folder, gLegacyStandIn);  // Windows 10: no camera to create
    PutLibrary();
    Install(L"install-all-users", kDataDirectory, 1, kRemovedAll, Report("0x8007007F", "MFCreateVirtualCamera"));
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc != 6) {
        std::fprintf(stderr, "usage: registrar_test REGISTRAR STANDIN LEGACY_STANDIN ICACLS LOOP_FOLDER\n");
        return 2;
    }
    std::wstring* paths[] = {&gRegistrar, &gStandIn, &gLegacyStandIn, &gIcacls, &gLoopFolder};
    for (int i = 0; i < 5; ++i) {
        const std::string path = argv[i + 1];
        *paths[i] = L"Z:" + fs::path(path).make_preferred().native();  // Wine's drive for the Linux root
    }
    wchar_t programData[MAX_PATH + 1] = {};
    GetEnvironmentVariableW(L"ProgramData", programData, MAX_PATH);
    gProgramData = programData;
    return RUN_ALL_TESTS();
}
