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
    bytes.resize(WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(),
                                     static_cast<int>(bytes.size()), nullptr, nullptr));
    return bytes;
}

unsigned long long SystemTime() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

void WriteFileBytes(const fs::path& path, const std::string& bytes) {
    FILE* file = _wfopen(path.c_str(), L"wb");
    ASSERT_NE(file, nullptr);
    fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
}

// ---- Expected call-log lines ----------------------------------------------------------

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

const std::string kStart = "IMFVirtualCamera::Start\tcallback=null";
const std::string kRemove = "IMFVirtualCamera::Remove";
const std::string kReleased = "IMFVirtualCamera::Release\tcount=0";

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

// ---- Registry ------------------------------------------------------------------------

// A REG_SZ value under HKLM (64-bit view) and its stored size; empty and 0 when absent.
std::wstring RegistryText(const std::wstring& subKey, const wchar_t* name, DWORD* size = nullptr) {
    wchar_t data[1024] = {};
    DWORD bytes = sizeof(data);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, subKey.c_str(), name, RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY, nullptr, data,
                     &bytes) != ERROR_SUCCESS) {
        bytes = 0;
    }
    if (size) {
        *size = bytes;
    }
    return bytes ? data : L"";
}

bool ClassKeyExists() {
    HKEY key = nullptr;
    const bool exists = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kClassKey, 0, KEY_READ | KEY_WOW64_64KEY, &key) == 0;
    if (exists) {
        RegCloseKey(key);
    }
    return exists;
}

void ExpectRegistered(const fs::path& library) {
    const std::wstring server = std::wstring(kClassKey) + L"\\InprocServer32";
    DWORD sizes[3] = {};
    EXPECT_EQ(RegistryText(kClassKey, nullptr, &sizes[0]), L"Nivra Media Source");
    EXPECT_EQ(RegistryText(server, nullptr, &sizes[1]), library.native());
    EXPECT_EQ(RegistryText(server, L"ThreadingModel", &sizes[2]), L"Both");
    EXPECT_EQ(sizes[0], 38u);
    EXPECT_EQ(sizes[1], (library.native().size() + 1) * 2);
    EXPECT_EQ(sizes[2], 10u);
}

// ---- Child process -------------------------------------------------------------------

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

// Runs the program with the raw argument text, stdout and stderr through separate pipes.
RunResult RunProgram(const fs::path& program, const std::wstring& arguments) {
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

void ExpectRun(const RunResult& result, DWORD exitCode, const std::string& out, const std::string& err) {
    EXPECT_EQ(result.exitCode, exitCode);
    EXPECT_EQ(result.out, out);
    EXPECT_EQ(result.err, err);
}

// ---- Fixture -------------------------------------------------------------------------

// A folder per test with the registrar, the stand-in and the recording icacls.exe; the
// control variables are set in this process and inherited by the child.
class Registrar : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        const std::string name = std::string(info->test_suite_name()) + "." + info->name();
        wchar_t temp[MAX_PATH + 1] = {};
        GetTempPathW(MAX_PATH, temp);
        PrepareFolder(fs::path(temp) / L"velmora-registrar" / std::wstring(name.begin(), name.end()));
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

    RunResult Run(const std::wstring& arguments, const wchar_t* fail = nullptr) {
        SetEnvironmentVariableW(L"VELMORA_STANDIN_FAIL", fail);
        DeleteFileW((folder / L"standin.log").c_str());
        return RunProgram(folder / L"VelmoraRegistrar.exe", arguments);
    }

    Lines Calls() const {
        Lines lines;
        for (const auto& line : velmora::standin::ReadCallLog((folder / L"standin.log").native())) {
            lines.push_back(line.raw);
        }
        return lines;
    }

    std::string IcaclsLog() const { return ReadFileBytes((folder / L"icacls.log").native()); }

    fs::path folder;
};

// ---- Command line, status, camera verbs ----------------------------------------------

TEST_F(Registrar, WrongArgumentsAndUnknownVerbsPrintUsage) {
    for (const wchar_t* arguments : {L"", L"status extra", L"STATUS", L"Status", L"\"status \"", L"\"\"",
                                     L"remove-all-user"}) {
        SCOPED_TRACE(Utf8(arguments));
        ExpectRun(Run(arguments), 1, kUsage, "");
        EXPECT_TRUE(Calls().empty());
    }
}

TEST_F(Registrar, StatusReportsSupportAndFailures) {
    ExpectRun(Run(L"status"), 0, kSupported, "");
    EXPECT_EQ(Calls(), Lines{"MFIsVirtualCameraTypeSupported\ttype=0"});
    SetEnvironmentVariableW(L"VELMORA_STANDIN_SUPPORTED", L"0");
    ExpectRun(Run(L"status"), 2, kUnsupported, "");
    SetEnvironmentVariableW(L"VELMORA_STANDIN_SUPPORTED", nullptr);
    ExpectRun(Run(L"status", L"MFIsVirtualCameraTypeSupported=0x80004005"), 1, "",
              Report("0x80004005", "MFIsVirtualCameraTypeSupported"));
    ExpectRun(Run(L"status", L"MFIsVirtualCameraTypeSupported=0x80070005"), 1, "",
              Report("0x80070005", "MFIsVirtualCameraTypeSupported") + kAccessAdvice);
    // S_FALSE is a success.
    ExpectRun(Run(L"status", L"MFIsVirtualCameraTypeSupported=0x00000001"), 0, kSupported, "");
}

TEST_F(Registrar, WithoutVirtualCameraFunctionsTheProgramStillRuns) {
    PrepareFolder(folder, gLegacyStandIn);  // Windows 10's mfsensorgroup.dll
    ExpectRun(Run(L"status"), 2, kUnsupported, "");
    ExpectRun(Run(L"register-system"), 1, "", Report("0x8007007F", "MFCreateVirtualCamera"));
    ExpectRun(Run(L"remove-user"), 1, "", Report("0x8007007F", "MFCreateVirtualCamera"));
    ExpectRun(Run(L"remove-all"), 0, kRemovedAll, "");
    EXPECT_TRUE(Calls().empty());
    PrepareFolder(folder, L"");  // no mfsensorgroup.dll at all: the load error is reported
    ExpectRun(Run(L"status"), 2, kUnsupported, "");
    ExpectRun(Run(L"register-user"), 1, "", Report("0x8007007E", "MFCreateVirtualCamera"));
}

TEST_F(Registrar, ManifestRunsAsInvoker) {
    HMODULE image = LoadLibraryExW(gRegistrar.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(image, nullptr);
    HRSRC resource = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(resource, nullptr);
    const std::string manifest(static_cast<const char*>(LockResource(LoadResource(image, resource))),
                               SizeofResource(image, resource));
    FreeLibrary(image);
    EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"), std::string::npos);
}

TEST_F(Registrar, CameraVerbsPassTheirLifetimeAndAccess) {
    const struct {
        const wchar_t* verb;
        int lifetime, access;
        bool remove;
    } verbs[] = {{L"register-user", 0, 0, false}, {L"register-system", 1, 0, false},
                 {L"register-all-users", 1, 1, false}, {L"remove-user", 0, 0, true},
                 {L"remove-system", 1, 0, true}, {L"remove-all-users", 1, 1, true}};
    for (const auto& verb : verbs) {
        SCOPED_TRACE(Utf8(verb.verb));
        const Lines removal{CreateLine(verb.lifetime, verb.access, "Nivra"), kRemove, kReleased};
        ExpectRun(Run(verb.verb), 0, verb.remove ? "가상 카메라를 제거했습니다.\n" : kRegistered, "");
        EXPECT_EQ(Calls(), verb.remove ? removal : RegisterLines(verb.lifetime, verb.access));
        ExpectRun(Run(verb.verb, L"MFCreateVirtualCamera=0x80004005"), 1, "",
                  Report("0x80004005", "MFCreateVirtualCamera"));
        EXPECT_EQ(Calls(), Lines{removal[0] + "\tresult=0x80004005"});
    }
    ExpectRun(Run(L"remove-system", L"IMFVirtualCamera::Remove=0x80070005"), 1, "",
              Report("0x80070005", "IMFVirtualCamera::Remove") + kAccessAdvice);
    EXPECT_EQ(Calls(), (Lines{CreateLine(1, 0, "Nivra"), kRemove + "\tresult=0x80070005", kReleased}));
}

TEST_F(Registrar, RegisterStopsAtTheFirstFailingStep) {
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
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kClassKey) + L"\\InprocServer32").c_str(), 0,
                              nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    ExpectRun(Run(L"uninstall-system"), 0, kRemovedAll, "");
    EXPECT_FALSE(ClassKeyExists());
}

// ---- Installation --------------------------------------------------------------------

class Installation : public Registrar {
protected:
    void PutLibrary() { WriteFileBytes(folder / L"VelmoraSource.dll", library); }

    // Checks the line of a successful installation and what it left; returns the copy.
    fs::path ExpectInstalled(const RunResult& result, const fs::path& dataDirectory, unsigned long long before) {
        const std::string prefix = "VelmoraSource.dll installed: " + Utf8(dataDirectory.native()) + "\\VelmoraSource_";
        const size_t end = result.out.find(".dll\n");
        if (result.out.compare(0, prefix.size(), prefix) != 0 || end == std::string::npos) {
            ADD_FAILURE() << result.out;
            return {};
        }
        const unsigned long long stamp = std::stoull(result.out.substr(prefix.size(), end - prefix.size()));
        EXPECT_GE(stamp, before);
        EXPECT_LE(stamp, SystemTime());
        const fs::path copy = dataDirectory / (L"VelmoraSource_" + std::to_wstring(stamp) + L".dll");
        EXPECT_EQ(result.out.substr(0, end + 5), "VelmoraSource.dll installed: " + Utf8(copy.native()) + "\n");
        EXPECT_EQ(ReadFileBytes(copy.native()), library);
        ExpectRegistered(copy);
        return copy;
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

    const std::string library = "not a real library, only bytes to copy";
};

TEST_F(Installation, InstallsCopiesRegistersAndCleansUp) {
    PutLibrary();
    fs::create_directories(kDataDirectory / L"VelmoraSource_2.dll");
    for (const wchar_t* name : {L"VelmoraSource.dll", L"VelmoraSource_7.DLL", L"Other_1.dll", L"VelmoraSource_1.dll",
                                L"VelmoraSource_.dll", L"source.log", L"decode_mode.txt"}) {
        WriteFileBytes(kDataDirectory / name, "old");
    }
    const unsigned long long before = SystemTime();
    const RunResult result = Run(L"install-system");
    const fs::path copy = ExpectInstalled(result, kDataDirectory, before);
    ExpectRun(result, 0, "VelmoraSource.dll installed: " + Utf8(copy.native()) + "\n" + kRemovedAll + kRegistered,
              "");
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
    const RunResult second = Run(L"install-all-users");
    const fs::path secondCopy = ExpectInstalled(second, kDataDirectory, before);
    EXPECT_EQ(second.exitCode, 0u);
    EXPECT_GT(std::stoull(secondCopy.stem().native().substr(14)), std::stoull(copy.stem().native().substr(14)));
    EXPECT_FALSE(fs::exists(copy));
    EXPECT_EQ(Calls(), RemoveAllLines() + RegisterLines(1, 1));
}

TEST_F(Installation, ProgramDataDecidesTheDataDirectory) {
    PutLibrary();
    const fs::path custom = L"C:\\velmora-registrar-tests\\공용 데이터";
    std::error_code ignored;
    fs::remove_all(custom.parent_path(), ignored);
    SetEnvironmentVariableW(L"ProgramData", custom.c_str());
    const unsigned long long before = SystemTime();
    RunResult result = Run(L"install-system");
    EXPECT_EQ(result.exitCode, 0u);
    ExpectInstalled(result, custom / L"Velmora", before);
    EXPECT_EQ(IcaclsLog(), IcaclsLine(custom / L"Velmora"));
    EXPECT_FALSE(fs::exists(kDataDirectory));

    SetEnvironmentVariableW(L"ProgramData", L"");
    result = Run(L"install-system");
    EXPECT_EQ(result.exitCode, 0u);
    ExpectInstalled(result, kDataDirectory, before);
    // The longest value that reaches a program under Wine (it cuts longer ones to 32766
    // characters) is used whole; its data directory cannot be created.
    const std::wstring longest = L"C:\\velmora-registrar-tests\\" + std::wstring(32766 - 27, L'a');
    SetEnvironmentVariableW(L"ProgramData", longest.c_str());
    ExpectRun(Run(L"install-system"), 1, "", "Install directory creation failed: " + Utf8(longest) + "\\Velmora\n");
    fs::remove_all(custom.parent_path(), ignored);
}

TEST_F(Installation, FailuresBeforeTheRegistrationChangeNothingElse) {
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

    // The data directory would lie below a file.
    PrepareFolder(own);
    PutLibrary();
    WriteFileBytes(folder / L"occupied", "");
    SetEnvironmentVariableW(L"ProgramData", (folder / L"occupied").c_str());
    ExpectRun(Run(L"install-system"), 1, "",
              "Install directory creation failed: " + Utf8((folder / L"occupied\\Velmora").native()) + "\n");
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

TEST_F(Installation, FailuresAfterTheCopyKeepIt) {
    // Wine never denies HKLM, but a volatile class key refuses a lasting subkey.
    PutLibrary();
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kClassKey, 0, nullptr, REG_OPTION_VOLATILE,
                              KEY_WRITE | KEY_WOW64_64KEY, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    fs::create_directories(kDataDirectory);
    WriteFileBytes(kDataDirectory / L"VelmoraSource_1.dll", "old");
    ExpectRun(Run(L"install-system"), 1, "", "COM InprocServer32 registry key creation failed: 1021\n");
    EXPECT_TRUE(Calls().empty());
    EXPECT_EQ(IcaclsLog(), IcaclsLine(kDataDirectory));
    EXPECT_EQ(std::distance(fs::directory_iterator(kDataDirectory), fs::directory_iterator()), 2);  // old and new
    EXPECT_TRUE(fs::exists(kDataDirectory / L"VelmoraSource_1.dll"));
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kClassKey);

    // The camera registration fails after a complete installation.
    const unsigned long long before = SystemTime();
    RunResult result = Run(L"install-system", L"IMFVirtualCamera::Start=0x80070005");
    fs::path copy = ExpectInstalled(result, kDataDirectory, before);
    ExpectRun(result, 1, "VelmoraSource.dll installed: " + Utf8(copy.native()) + "\n" + kRemovedAll,
              Report("0x80070005", "IMFVirtualCamera::Start") + kAccessAdvice + kStartAdvice);
    PrepareFolder(folder, gLegacyStandIn);  // Windows 10: no camera to create
    PutLibrary();
    result = Run(L"install-all-users");
    copy = ExpectInstalled(result, kDataDirectory, before);
    ExpectRun(result, 1, "VelmoraSource.dll installed: " + Utf8(copy.native()) + "\n" + kRemovedAll,
              Report("0x8007007F", "MFCreateVirtualCamera"));
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
        *paths[i] = L"Z:";  // Wine's drive for the Linux root
        for (const char* c = argv[i + 1]; *c; ++c) {
            *paths[i] += *c == '/' ? L'\\' : static_cast<wchar_t>(*c);
        }
    }
    wchar_t programData[MAX_PATH + 1] = {};
    GetEnvironmentVariableW(L"ProgramData", programData, MAX_PATH);
    gProgramData = programData;
    return RUN_ALL_TESTS();
}
