// The stand-in mfsensorgroup.dll as the library's and the registrar's tests rely on it: the
// recorded line format, injected results, the support switch, the legacy build's exports,
// and whole lines when several processes append to one log at once.
#include <windows.h>
#include <mfapi.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <wrl/client.h>

#include "common/sdk_additions.h"
#include "tests/standins/mfsensorgroup/standin_control.h"

using Microsoft::WRL::ComPtr;
using velmora::standin::LegacyStandInPath;
using velmora::standin::ScopedEnvironmentVariable;
using velmora::standin::StandInModule;
using velmora::standin::TemporaryCallLog;

namespace {

const std::string kCreateLine =
    "MFCreateVirtualCamera\ttype=0\tlifetime=1\taccess=0\tname=Nivra\t"
    "source={5D1E3B7A-2C94-4F60-A8B1-0E6F9C2D4B83}\tcategories=null\tcount=0";
constexpr int kWorkers = 3;
constexpr int kCallsPerWorker = 150;

std::vector<std::string> RawLines(const TemporaryCallLog& log)
{
    std::vector<std::string> raw;
    for (const auto& line : log.Lines()) {
        raw.push_back(line.raw);
    }
    return raw;
}

// Each test starts with no injected results, no support switch and call numbers from 1.
class StandIn : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(nullptr, create);
        ASSERT_NE(nullptr, supported);
        module.ResetCallCounts();
    }

    HRESULT CreateCamera(IMFVirtualCamera** camera)
    {
        return create(MFVirtualCameraType_SoftwareCameraSource, MFVirtualCameraLifetime_System,
                      MFVirtualCameraAccess_CurrentUser, L"Nivra", L"{5D1E3B7A-2C94-4F60-A8B1-0E6F9C2D4B83}",
                      nullptr, 0, camera);
    }

    StandInModule module;
    ScopedEnvironmentVariable noFailures{L"VELMORA_STANDIN_FAIL", nullptr};
    ScopedEnvironmentVariable noSwitch{L"VELMORA_STANDIN_SUPPORTED", nullptr};
    MFCreateVirtualCameraFunction create = module.CreateVirtualCamera();
    MFIsVirtualCameraTypeSupportedFunction supported = module.IsVirtualCameraTypeSupported();
};

TEST_F(StandIn, MainCallsAreRecordedInTheDocumentedFormat)
{
    TemporaryCallLog log;
    BOOL isSupported = FALSE;
    ASSERT_EQ(S_OK, supported(MFVirtualCameraType_SoftwareCameraSource, &isSupported));
    IMFVirtualCamera* camera = nullptr;
    ASSERT_EQ(S_OK, CreateCamera(&camera));
    const wchar_t name[] = L"Nivra";
    EXPECT_EQ(S_OK, camera->AddProperty(&DEVPKEY_DeviceInterface_VCamCreate_FriendlyName, DEVPROP_TYPE_STRING,
                                        reinterpret_cast<const BYTE*>(name), sizeof name));
    const INT32 lifetime = MFVirtualCameraLifetime_System;
    EXPECT_EQ(S_OK, camera->AddProperty(&DEVPKEY_DeviceInterface_VCamCreate_Lifetime, DEVPROP_TYPE_INT32,
                                        reinterpret_cast<const BYTE*>(&lifetime), sizeof lifetime));
    EXPECT_EQ(S_OK, camera->Start(nullptr));
    EXPECT_EQ(S_OK, camera->Remove());
    EXPECT_EQ(0u, camera->Release());
    {
        ComPtr<IMFSensorProfileCollection> collection;
        ComPtr<IMFSensorProfile> profile;
        ASSERT_EQ(S_OK, MFCreateSensorProfileCollection(&collection));
        ASSERT_EQ(S_OK, MFCreateSensorProfile(KSCAMERAPROFILE_Legacy, 0, nullptr, &profile));
        ASSERT_EQ(S_OK, profile->AddProfileFilter(1, L"((RES==;FRT<=30,1;SUT==))"));
        ASSERT_EQ(S_OK, collection->AddProfile(profile.Get()));
    }
    const std::vector<std::string> expected = {
        "MFIsVirtualCameraTypeSupported\ttype=0",
        kCreateLine,
        "IMFVirtualCamera::AddProperty\tkey={6AC1FBF7-45F7-4E06-BDA7-F817EBFA04D1},5\ttype=18\tsize=12\t"
        "data=4e0069007600720061000000",
        "IMFVirtualCamera::AddProperty\tkey={6AC1FBF7-45F7-4E06-BDA7-F817EBFA04D1},6\ttype=6\tsize=4\tdata=01000000",
        "IMFVirtualCamera::Start\tcallback=null",
        "IMFVirtualCamera::Remove",
        "IMFVirtualCamera::Release\tcount=0",
        "MFCreateSensorProfileCollection",
        "MFCreateSensorProfile\ttype={B4894D81-62B7-4EEC-8740-80658C4A9D3E}\tindex=0\tconstraints=null",
        "IMFSensorProfile::AddProfileFilter\tstream=1\tfilter=((RES==;FRT<=30,1;SUT==))",
        "IMFSensorProfileCollection::AddProfile",
        "IMFSensorProfile::Release\tcount=1",  // the collection keeps its own reference
        "IMFSensorProfileCollection::Release\tcount=0",
    };
    EXPECT_EQ(expected, RawLines(log));
    EXPECT_EQ('\n', log.Bytes().back());
}

TEST_F(StandIn, InjectedResultsAreReturnedAndRecorded)
{
    TemporaryCallLog log;
    {
        ScopedEnvironmentVariable fail(L"VELMORA_STANDIN_FAIL",
                                       L"MFCreateVirtualCamera=0x80070005,MFCreateSensorProfile=0x80004005");
        IMFVirtualCamera* camera = reinterpret_cast<IMFVirtualCamera*>(&fail);
        EXPECT_EQ(E_ACCESSDENIED, CreateCamera(&camera));
        EXPECT_EQ(nullptr, camera);  // a failed creation hands out no object
        IMFSensorProfile* profile = reinterpret_cast<IMFSensorProfile*>(&fail);
        EXPECT_EQ(E_FAIL, MFCreateSensorProfile(KSCAMERAPROFILE_Legacy, 0, nullptr, &profile));
        EXPECT_EQ(nullptr, profile);
        ASSERT_EQ(2u, log.Lines().size());
        EXPECT_EQ(kCreateLine + "\tresult=0x80070005", log.Lines()[0].raw);
    }
    ComPtr<IMFVirtualCamera> camera;
    ASSERT_EQ(S_OK, CreateCamera(camera.GetAddressOf()));
    log.Clear();
    // "#N" fails only the N-th call, counted from the last reset; a success code replaces S_OK.
    ScopedEnvironmentVariable fail(L"VELMORA_STANDIN_FAIL",
                                   L"IMFVirtualCamera::Stop#2=0x80004005,IMFVirtualCamera::Start=0x00000001");
    EXPECT_EQ(S_OK, camera->Stop());
    EXPECT_EQ(E_FAIL, camera->Stop());
    EXPECT_EQ(S_OK, camera->Stop());
    module.ResetCallCounts();
    EXPECT_EQ(S_OK, camera->Stop());
    EXPECT_EQ(E_FAIL, camera->Stop());
    EXPECT_EQ(S_FALSE, camera->Start(nullptr));
    const std::string stop = "IMFVirtualCamera::Stop";
    const std::vector<std::string> expected = {
        stop, stop + "\tresult=0x80004005", stop, stop, stop + "\tresult=0x80004005",
        "IMFVirtualCamera::Start\tcallback=null\tresult=0x00000001",
    };
    EXPECT_EQ(expected, RawLines(log));
}

TEST_F(StandIn, SupportSwitchTurnsTheAnswerOffWithSuccess)
{
    BOOL isSupported = FALSE;
    ASSERT_EQ(S_OK, supported(MFVirtualCameraType_SoftwareCameraSource, &isSupported));
    EXPECT_TRUE(isSupported);
    ScopedEnvironmentVariable off(L"VELMORA_STANDIN_SUPPORTED", L"0");
    ASSERT_EQ(S_OK, supported(MFVirtualCameraType_SoftwareCameraSource, &isSupported));
    EXPECT_FALSE(isSupported);
}

TEST_F(StandIn, LegacyBuildLacksTheTwoVirtualCameraFunctions)
{
    StandInModule legacy(LegacyStandInPath().c_str());
    ASSERT_NE(nullptr, legacy.Handle());
    EXPECT_NE(module.Handle(), legacy.Handle());
    EXPECT_NE(nullptr, legacy.Export("MFCreateSensorProfile"));
    EXPECT_NE(nullptr, legacy.Export("MFCreateSensorProfileCollection"));
    EXPECT_EQ(nullptr, legacy.Export("MFCreateVirtualCamera"));
    EXPECT_EQ(nullptr, legacy.Export("MFIsVirtualCameraTypeSupported"));
}

// Long lines, so that an append split in parts would show.
std::string WorkerLine(int worker)
{
    return "MFCreateSensorProfile\ttype={32440725-961B-4CA3-B5B2-854E719D9E1B}\tindex=" + std::to_string(worker) +
           "\tconstraints=" + std::string(400, 'c');
}

int RunWorker(int worker)
{
    const std::wstring constraints(400, L'c');
    for (int i = 0; i < kCallsPerWorker; ++i) {
        ComPtr<IMFSensorProfile> profile;
        if (FAILED(MFCreateSensorProfile(KSCAMERAPROFILE_HighQualityPhoto, worker, constraints.c_str(), &profile))) {
            return 1;
        }
    }
    return 0;
}

TEST_F(StandIn, SeveralProcessesAppendWholeLines)
{
    TemporaryCallLog log;
    wchar_t program[MAX_PATH + 1] = {};
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    std::vector<PROCESS_INFORMATION> workers;
    for (int worker = 0; worker < kWorkers; ++worker) {
        std::wstring command = L"\"" + std::wstring(program) + L"\" --append-worker " + std::to_wstring(worker);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        ASSERT_TRUE(CreateProcessW(program, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                   &process))
            << GetLastError();
        CloseHandle(process.hThread);
        workers.push_back(process);
    }
    for (auto& process : workers) {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.hProcess, 120000));
        DWORD code = 99;
        GetExitCodeProcess(process.hProcess, &code);
        EXPECT_EQ(0u, code);
        CloseHandle(process.hProcess);
    }
    std::vector<int> perWorker(kWorkers + 1, 0);  // the last counts releases
    for (const auto& line : log.Lines()) {
        int kind = 0;
        while (kind < kWorkers && line.raw != WorkerLine(kind)) {
            ++kind;
        }
        if (kind == kWorkers && line.raw != "IMFSensorProfile::Release\tcount=0") {
            ADD_FAILURE() << "torn or foreign line: " << line.raw.substr(0, 120);
            break;
        }
        ++perWorker[kind];
    }
    std::vector<int> expected(kWorkers, kCallsPerWorker);
    expected.push_back(kWorkers * kCallsPerWorker);
    EXPECT_EQ(expected, perWorker);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::string(argv[1]) == "--append-worker") {
        return RunWorker(std::atoi(argv[2]));
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
