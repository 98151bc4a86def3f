// The registrar run for real under Wine. Arguments: the registrar recording access lists, Windows 11's and
// Windows 10's stand-in mfsensorgroup.dll.
#include <cstdio>
#include <tuple>

#include "tests/common/host_shell.h"
#include "tests/common/windows_test.h"
#include "tests/standins/mfsensorgroup/standin_control.h"

namespace {

namespace fs = std::filesystem;
using velmora::test::HostShell;
using velmora::test::UnixPath;
using velmora::standin::Hex;
using velmora::test::ReadFileBytes;
using velmora::test::RegistryText;
using velmora::test::WriteFileBytes;
using Lines = std::vector<std::string>;

std::wstring gRecording, gWindows11, gWindows10;

constexpr wchar_t kClassKey[] = L"Software\\Classes\\CLSID\\{5D1E3B7A-2C94-4F60-A8B1-0E6F9C2D4B83}";
const fs::path kDataDirectory = L"C:\\ProgramData\\Velmora";
const fs::path kProtectedFolder = L"C:\\Program Files\\Velmora";
const fs::path kElsewhere = L"C:\\velmora-elsewhere";
const std::string kLibrary = "not a real library, only bytes to copy";
// The protected folder's list, then the data directory's: Wine's list plus the services' grant.
const Lines kAccessLists{
    "\\\\?\\C:\\Program Files\\Velmora\t0x80000005\tO:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"
    "(A;OICI;0x1200a9;;;LS)(A;OICI;0x1200a9;;;NS)(A;OICI;0x1200a9;;;AC)",
    "\\\\?\\C:\\ProgramData\\Velmora\t0x20000004\tD:(A;OICI;FA;;;SY)(A;OICI;FA;;;S-1-5-21-0-0-0-1000)"
    "(A;OICI;0x1200a9;;;WD)(A;OICIIO;0x1301bf;;;AU)(A;;0x1201bf;;;AU)(A;OICIIO;0x1301bf;;;LS)(A;;0x1201bf;;;LS)"
    "(A;OICIIO;0x1301bf;;;NS)(A;;0x1201bf;;;NS)"};

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

std::string Utf8(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

const std::string kRemove = "IMFVirtualCamera::Remove";
const std::string kReleased = "IMFVirtualCamera::Release\tcount=0";

std::string CreateLine(int lifetime, int access, const char* name) {
    return "MFCreateVirtualCamera\ttype=0\tlifetime=" + std::to_string(lifetime) + "\taccess=" +
           std::to_string(access) + "\tname=" + name +
           "\tsource={5D1E3B7A-2C94-4F60-A8B1-0E6F9C2D4B83}\tcategories=null\tcount=0";
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
            "IMFVirtualCamera::Start\tcallback=null",
            kReleased};
}

// The eight quiet removals, every step answering S_OK, then the calls that follow.
Lines RemoveAllLines(const Lines& then = {}) {
    Lines lines;
    for (const auto& [lifetime, access] : {std::pair{0, 0}, {0, 1}, {1, 0}, {1, 1}}) {
        for (const char* name : {"Nivra", "Vel Mora"}) {
            lines.insert(lines.end(), {CreateLine(lifetime, access, name), kRemove, kReleased});
        }
    }
    lines.insert(lines.end(), then.begin(), then.end());
    return lines;
}

// Sorted; directories end in "/".
Lines Entries(const fs::path& folder) {
    Lines names;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(folder, ignored)) {
        names.push_back(Utf8(entry.path().filename()) + (entry.is_directory() ? "/" : ""));
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Exit code, output and errors.
using RunResult = std::tuple<DWORD, std::string, std::string>;

// A folder per test with the registrar and a current directory for it; control variables set here reach the child.
class Registrar : public ::testing::Test {
protected:
    void SetUp() override { Prepare(fs::temp_directory_path() / L"velmora-registrar"); }

    // Starts clean: no class key, neither installation folder, no control variables.
    void Prepare(const fs::path& path) {
        folder = path;
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kClassKey);
        ASSERT_TRUE(CopyFileW(gWindows11.c_str(), L"C:\\windows\\system32\\mfsensorgroup.dll", FALSE));
        std::error_code ignored;
        for (const fs::path& remove : {folder, kDataDirectory, kProtectedFolder, kElsewhere}) {
            fs::remove_all(remove, ignored);
        }
        for (const wchar_t* name : {L"VELMORA_STANDIN_SUPPORTED", L"ProgramData", L"ProgramFiles"}) {
            SetEnvironmentVariableW(name, nullptr);
        }
        fs::create_directories(folder / L"current");
        ASSERT_TRUE(CopyFileW(gRecording.c_str(), (folder / L"VelmoraRegistrar.exe").c_str(), FALSE));
        SetEnvironmentVariableW(L"VELMORA_STANDIN_LOG", (folder / L"standin.log").c_str());
        SetEnvironmentVariableW(L"VELMORA_SECURITY_LOG", (folder / L"security.log").c_str());
    }

    // `arguments` is raw command-line text. Started directly, not through cmd, which reports a start that failed only
    // as "Can't recognize ..." with exit code 9009.
    RunResult Run(const std::wstring& arguments, const wchar_t* fail = nullptr) {
        SetEnvironmentVariableW(L"VELMORA_STANDIN_FAIL", fail);
        DeleteFileW((folder / L"standin.log").c_str());
        DeleteFileW((folder / L"security.log").c_str());
        DWORD exitCode = 0xDEADBEEF;
        {
            SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
            const velmora::UniqueFileHandle out(
                CreateFileW((folder / L"out").c_str(), GENERIC_WRITE, 0, &inheritable, CREATE_ALWAYS, 0, nullptr));
            const velmora::UniqueFileHandle err(
                CreateFileW((folder / L"err").c_str(), GENERIC_WRITE, 0, &inheritable, CREATE_ALWAYS, 0, nullptr));
            STARTUPINFOW startup{};
            startup.cb = sizeof(startup);
            startup.dwFlags = STARTF_USESTDHANDLES;
            startup.hStdOutput = out.Get();
            startup.hStdError = err.Get();
            std::wstring line = L"\"" + (folder / L"VelmoraRegistrar.exe").native() + L"\"" +
                                (arguments.empty() ? L"" : L" " + arguments);
            PROCESS_INFORMATION started{};
            const auto start = [&] {
                return CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                      (folder / L"current").c_str(), &startup, &started);
            };
            // Wine now and then refuses to start a program it has just run (one full run in ten): a fault
            // of the test bed, said and tried once more.
            if (!start()) {
                std::printf("test bed fault: the registrar did not start (error %lu); starting it again\n",
                            GetLastError());
                Sleep(500);
                EXPECT_TRUE(start()) << "error " << GetLastError();
            }
            const velmora::UniqueFileHandle process(started.hProcess);
            const velmora::UniqueFileHandle thread(started.hThread);
            EXPECT_EQ(WaitForSingleObject(process.Get(), 60000), WAIT_OBJECT_0);
            GetExitCodeProcess(process.Get(), &exitCode);
        }
        return {exitCode, ReadFileBytes((folder / L"out").native()), ReadFileBytes((folder / L"err").native())};
    }

    Lines Calls() const { return velmora::standin::ReadCallLog((folder / L"standin.log").native()); }
    Lines SecurityCalls() const { return velmora::standin::ReadCallLog((folder / L"security.log").native()); }
    void PutLibrary() { WriteFileBytes(folder / L"VelmoraSource.dll", kLibrary); }

    // An installation that gets as far as the copy; returns the time-stamped copy the registry names.
    fs::path Install(const wchar_t* verb, DWORD exitCode, const std::string& rest, const std::string& err = "") {
        const RunResult result = Run(verb);
        const std::wstring server = std::wstring(kClassKey) + L"\\InprocServer32";
        const fs::path copy = RegistryText(server, nullptr).c_str();  // up to the terminator
        EXPECT_EQ(result, RunResult(exitCode, "VelmoraSource.dll installed: " + copy.string() + "\n" + rest, err));
        const std::regex named(R"(C:\\Program Files\\Velmora\\VelmoraSource_\d+\.dll)");
        EXPECT_TRUE(std::regex_match(copy.string(), named)) << copy;
        EXPECT_EQ(ReadFileBytes(copy.native()), kLibrary);
        EXPECT_EQ((std::vector{RegistryText(kClassKey, nullptr), RegistryText(server, nullptr),
                               RegistryText(server, L"ThreadingModel")}),
                  (std::vector<std::wstring>{{L"Nivra Media Source", 19}, copy.native() + L'\0', {L"Both", 5}}));
        return copy;
    }

    void ExpectNothingTouched() {
        EXPECT_TRUE(Calls().empty() && SecurityCalls().empty());
        EXPECT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, kClassKey), ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(Entries(kProtectedFolder), Lines{});  // emptied before, no copy since
    }

    fs::path folder;
};

// Windows 10's mfsensorgroup.dll has no camera functions: status says unsupported, installing names the missing one.
TEST_F(Registrar, Verbs) {
    for (const wchar_t* arguments : {L"", L"status extra", L"STATUS", L"\"status \"", L"remove-all-user"}) {
        SCOPED_TRACE(arguments);
        const auto [exitCode, out, err] = Run(arguments);
        EXPECT_TRUE(exitCode == 1 && out.starts_with("VelmoraRegistrar\n\n사용법:\n") && err.empty()) << out;
        EXPECT_TRUE(Calls().empty());
    }
    EXPECT_EQ(Run(L"status"), RunResult(0, kSupported, ""));
    EXPECT_EQ(Calls(), Lines{"MFIsVirtualCameraTypeSupported\ttype=0"});
    EXPECT_EQ(Run(L"status", L"MFIsVirtualCameraTypeSupported=0x00000001"), RunResult(0, kSupported, ""));  // S_FALSE

    const std::tuple<const wchar_t*, int, int, const std::string&> verbs[] = {
        {L"register-user", 0, 0, kRegistered}, {L"register-system", 1, 0, kRegistered},
        {L"register-all-users", 1, 1, kRegistered}, {L"remove-user", 0, 0, kRemoved},
        {L"remove-system", 1, 0, kRemoved}, {L"remove-all-users", 1, 1, kRemoved}};
    for (const auto& [verb, lifetime, access, out] : verbs) {
        SCOPED_TRACE(verb);
        EXPECT_EQ(Run(verb), RunResult(0, out, ""));
        EXPECT_EQ(Calls(), (&out == &kRemoved ? Lines{CreateLine(lifetime, access, "Nivra"), kRemove, kReleased}
                                              : RegisterLines(lifetime, access)));
        EXPECT_EQ(Run(verb, L"MFCreateVirtualCamera=0x80004005"),
                  RunResult(1, "", Report("0x80004005", "MFCreateVirtualCamera")));
    }
    EXPECT_EQ(Run(L"register-user", L"IMFVirtualCamera::Start=0x80070005"),
              RunResult(1, "", Report("0x80070005", "IMFVirtualCamera::Start") + kAccessAdvice + kStartAdvice));
    Lines expected = RegisterLines(0, 0);
    expected[5] += "\tresult=0x80070005";
    EXPECT_EQ(Calls(), expected);
    EXPECT_EQ(Run(L"register-user", L"IMFVirtualCamera::Start=0x80040154"),
              RunResult(1, "", Report("0x80040154", "IMFVirtualCamera::Start") + kStartAdvice));

    // remove-all tries every registration whatever fails.
    EXPECT_EQ(Run(L"remove-all", L"IMFVirtualCamera::Remove=0x80004005"), RunResult(0, kRemovedAll, ""));
    EXPECT_EQ(Calls().size(), 24u);

    SetEnvironmentVariableW(L"VELMORA_STANDIN_SUPPORTED", L"0");
    EXPECT_EQ(Run(L"status"), RunResult(2, kUnsupported, ""));
    ASSERT_TRUE(CopyFileW(gWindows10.c_str(), L"C:\\windows\\system32\\mfsensorgroup.dll", FALSE));
    EXPECT_EQ(Run(L"status"), RunResult(2, kUnsupported, ""));
    PutLibrary();
    Install(L"install-all-users", 1, kRemovedAll, Report("0x8007007F", "MFCreateVirtualCamera"));
}

// Old copies in both folders are regular files named VelmoraSource_*.dll, exactly so in case; uninstall-system deletes
// them all, one still in use at the next restart. Per-user ProgramData and ProgramFiles values change nothing, nor do
// Windows 10's DLLs (mfplat.dll without MFStartup) beside the program and in its current directory.
TEST_F(Registrar, InstallAndUninstall) {
    PutLibrary();
    for (const wchar_t* planted :
         {L"mfplat.dll", L"mfsensorgroup.dll", L"current\\mfplat.dll", L"current\\mfsensorgroup.dll"}) {
        ASSERT_TRUE(CopyFileW(gWindows10.c_str(), (folder / planted).c_str(), FALSE));
    }
    for (const fs::path& installed : {kProtectedFolder, kDataDirectory}) {
        fs::create_directories(installed / L"VelmoraSource_2.dll");
        for (const wchar_t* name : {L"VelmoraSource.dll", L"VelmoraSource_7.DLL", L"Other_1.dll",
                                    L"VelmoraSource_1.dll", L"VelmoraSource_.dll", L"source.log", L"decode_mode.txt"}) {
            WriteFileBytes(installed / name, "old");
        }
    }
    SetEnvironmentVariableW(L"ProgramData", kElsewhere.c_str());
    SetEnvironmentVariableW(L"ProgramFiles", kElsewhere.c_str());
    const ULONGLONG started = GetTickCount64();
    const fs::path copy = Install(L"install-system", 0, kRemovedAll + kRegistered);
    EXPECT_LT(GetTickCount64() - started, 5000u);  // the camera services do not exist here: no waiting
    EXPECT_EQ(Calls(), RemoveAllLines(RegisterLines(1, 0)));
    EXPECT_EQ(SecurityCalls(), kAccessLists);
    const Lines kept{"Other_1.dll", "VelmoraSource.dll", "VelmoraSource_2.dll/", "VelmoraSource_7.DLL",
                     "decode_mode.txt"};
    const auto keptWith = [&](const fs::path& copy) {  // the copy's stamp sorts before "2.dll"
        return Lines{kept[0], kept[1], copy.filename().string(), kept[2], kept[3], kept[4], "source.log"};
    };
    EXPECT_EQ(Entries(kDataDirectory), kept);  // "source.log" deleted
    EXPECT_EQ(Entries(kProtectedFolder), keptWith(copy));
    EXPECT_FALSE(fs::exists(kElsewhere));

    const fs::path secondCopy = Install(L"install-all-users", 0, kRemovedAll + kRegistered);
    EXPECT_GT(secondCopy.stem().native(), copy.stem().native());
    EXPECT_EQ(Calls(), RemoveAllLines(RegisterLines(1, 1)));
    EXPECT_EQ(Entries(kProtectedFolder), keptWith(secondCopy));

    WriteFileBytes(kDataDirectory / L"VelmoraSource_3.dll", "old");
    HANDLE held = CreateFileW(secondCopy.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(Run(L"uninstall-system"), RunResult(0, kRemovedAll, ""));
    CloseHandle(held);
    EXPECT_EQ(Calls(), RemoveAllLines());
    EXPECT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, kClassKey), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Entries(kProtectedFolder), keptWith(secondCopy));
    EXPECT_EQ(Entries(kDataDirectory), kept);
    constexpr wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
    EXPECT_EQ(RegistryText(kSessionManager, L"PendingFileRenameOperations", RRF_RT_REG_MULTI_SZ),
              L"\\??\\" + secondCopy.native() + std::wstring(3, L'\0'));
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations");
}

TEST_F(Registrar, InstallFailuresBeforeTheRegistrationChangeNothingElse) {
    // Not beside the registrar, in a folder whose name no ANSI code page holds.
    const fs::path own = folder;
    Prepare(own / L"카메라 설치");
    EXPECT_EQ(Run(L"install-system"),
              RunResult(1, "", "VelmoraSource.dll not found: " + Utf8(folder) + "\\VelmoraSource.dll\n"));
    ExpectNothingTouched();
    EXPECT_FALSE(fs::exists(kDataDirectory));

    // The data directory's log a hard link to a file elsewhere.
    Prepare(own);
    PutLibrary();
    fs::create_directories(kDataDirectory);
    fs::create_directories(kElsewhere);
    const fs::path elsewhere = kElsewhere / L"source.log";
    WriteFileBytes(elsewhere, "kept");
    ASSERT_TRUE(CreateHardLinkW((kDataDirectory / L"source.log").c_str(), elsewhere.c_str(), nullptr));
    EXPECT_EQ(Run(L"install-system"), RunResult(1, "", "Link refused: C:\\ProgramData\\Velmora\\source.log\n"));
    ExpectNothingTouched();
    EXPECT_EQ(ReadFileBytes(elsewhere.native()), "kept");

    // Either folder a symbolic link to a folder a standard user may own.
    for (const auto& [link, line] : {std::pair{kDataDirectory, "Link refused: C:\\ProgramData\\Velmora\n"},
                                     std::pair{kProtectedFolder, "Link refused: C:\\Program Files\\Velmora\n"}}) {
        Prepare(own);
        PutLibrary();
        fs::create_directories(kElsewhere);
        // Wine cannot make symbolic links itself.
        ASSERT_TRUE(HostShell("ln -s '" + UnixPath(kElsewhere) + "' '" + UnixPath(link) + "'"));
        EXPECT_EQ(Run(L"install-system"), RunResult(1, "", line));
        EXPECT_TRUE(Calls().empty() && SecurityCalls().empty());
        EXPECT_EQ(Entries(kElsewhere), Lines{});
        ASSERT_TRUE(HostShell("rm '" + UnixPath(link) + "'"));
    }
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    std::wstring* paths[] = {&gRecording, &gWindows11, &gWindows10};
    for (int i = 0; i < 3 && i + 1 < argc; ++i) {
        *paths[i] = L"Z:" + fs::path(argv[i + 1]).make_preferred().native();  // Wine's drive for the Linux root
    }
    const int failed = RUN_ALL_TESTS();
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kClassKey);
    CopyFileW(gWindows11.c_str(), L"C:\\windows\\system32\\mfsensorgroup.dll", FALSE);  // as set up, whatever ran
    // The later programs of the run log into the data directory: no link or folder of these cases may stay.
    std::error_code ignored;
    for (const fs::path& remove : {kDataDirectory, kProtectedFolder, kElsewhere}) {
        fs::remove_all(remove, ignored);
    }
    return failed;
}
