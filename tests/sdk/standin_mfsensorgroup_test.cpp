// The stand-in mfsensorgroup.dll as the library's and the registrar's tests rely on it: the
// exports of both builds, the recorded line formats, failure injection, the support
// switch, and whole lines when several processes append to one log at once.
#include <windows.h>
#include <mfapi.h>
#include <mferror.h>

#include <algorithm>
#include <cstdlib>
#include <cwctype>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <wrl/client.h>

#include "common/sdk_additions.h"
#include "tests/standins/mfsensorgroup/standin_control.h"
#include "tests/standins/mfsensorgroup/standin_sensor_profile.h"

using Microsoft::WRL::ComPtr;
using velmora::standin::CallLine;
using velmora::standin::LegacyStandInPath;
using velmora::standin::ProgramDirectory;
using velmora::standin::ScopedEnvironmentVariable;
using velmora::standin::StandInModule;
using velmora::standin::TemporaryCallLog;

namespace {

const wchar_t kSourceId[] = L"{5D1E3B7A-2C94-4F60-A8B1-0E6F9C2D4B83}";
const wchar_t kFilter[] = L"((RES==;FRT<=30,1;SUT==))";
constexpr int kWorkers = 3;
constexpr int kWorkerThreads = 2;
constexpr int kCallsPerThread = 100;

// Lower-case hex of a wide string's UTF-16LE bytes, terminating zero included.
std::string Utf16Hex(const wchar_t* text)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (const wchar_t* c = text;; ++c) {
        unsigned value = static_cast<unsigned>(*c);
        for (unsigned byte : {value & 0xFFu, value >> 8}) {
            hex += digits[byte >> 4];
            hex += digits[byte & 0x0F];
        }
        if (*c == L'\0') {
            break;
        }
    }
    return hex;
}

std::vector<std::string> RawLines(const TemporaryCallLog& log)
{
    std::vector<std::string> raw;
    for (const auto& line : log.Lines()) {
        raw.push_back(line.raw);
    }
    return raw;
}

std::vector<CallLine> Named(const TemporaryCallLog& log, const std::string& name)
{
    std::vector<CallLine> lines;
    for (auto& line : log.Lines()) {
        if (line.name == name) {
            lines.push_back(line);
        }
    }
    return lines;
}

std::wstring Lower(std::wstring text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return std::towlower(c); });
    return text;
}

// Each test starts with no failure items, no support switch and call numbers from 1.
class StandIn : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(nullptr, module.Handle());
        module.ResetCallCounts();
        create = module.CreateVirtualCamera();
        supported = module.IsVirtualCameraTypeSupported();
        ASSERT_NE(nullptr, create);
        ASSERT_NE(nullptr, supported);
    }

    HRESULT CreateCamera(IMFVirtualCamera** camera, const wchar_t* name = L"Nivra")
    {
        return create(MFVirtualCameraType_SoftwareCameraSource, MFVirtualCameraLifetime_System,
                      MFVirtualCameraAccess_CurrentUser, name, kSourceId, nullptr, 0, camera);
    }

    StandInModule module;
    ScopedEnvironmentVariable noFailures{L"VELMORA_STANDIN_FAIL", nullptr};
    ScopedEnvironmentVariable noSwitch{L"VELMORA_STANDIN_SUPPORTED", nullptr};
    MFCreateVirtualCameraFunction create = nullptr;
    MFIsVirtualCameraTypeSupportedFunction supported = nullptr;
};

// ---- Exports ---------------------------------------------------------------------------------

TEST_F(StandIn, ProgramsLoadTheMainBuildFromTheirOwnFolder)
{
    // This program imports MFCreateSensorProfile through mingw's libmfsensorgroup.a.
    HMODULE loaded = GetModuleHandleW(L"mfsensorgroup.dll");
    ASSERT_NE(nullptr, loaded);
    EXPECT_EQ(loaded, module.Handle());
    wchar_t path[MAX_PATH + 1] = {};
    GetModuleFileNameW(loaded, path, MAX_PATH);
    EXPECT_EQ(Lower(ProgramDirectory() + L"\\mfsensorgroup.dll"), Lower(path));
    for (const char* name : {"MFCreateSensorProfile", "MFCreateSensorProfileCollection", "MFCreateVirtualCamera",
                             "MFIsVirtualCameraTypeSupported"}) {
        EXPECT_NE(nullptr, GetProcAddress(loaded, name)) << name;
    }
}

TEST_F(StandIn, LegacyBuildLacksTheTwoVirtualCameraFunctions)
{
    std::wstring path = LegacyStandInPath();
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(path.c_str()));
    StandInModule legacy(path.c_str());
    ASSERT_NE(nullptr, legacy.Handle());
    EXPECT_NE(module.Handle(), legacy.Handle());
    EXPECT_NE(nullptr, legacy.Export("MFCreateSensorProfile"));
    EXPECT_NE(nullptr, legacy.Export("MFCreateSensorProfileCollection"));
    EXPECT_EQ(nullptr, legacy.Export("MFCreateVirtualCamera"));
    EXPECT_EQ(nullptr, legacy.Export("MFIsVirtualCameraTypeSupported"));
}

// ---- Recording -------------------------------------------------------------------------------

TEST_F(StandIn, RegistrationCallsAreRecordedInTheDocumentedFormat)
{
    TemporaryCallLog log;
    BOOL isSupported = FALSE;
    ASSERT_EQ(S_OK, supported(MFVirtualCameraType_SoftwareCameraSource, &isSupported));
    EXPECT_TRUE(isSupported);
    IMFVirtualCamera* camera = nullptr;
    ASSERT_EQ(S_OK, CreateCamera(&camera));
    ASSERT_NE(nullptr, camera);
    const ULONG sourceSize = static_cast<ULONG>((wcslen(kSourceId) + 1) * sizeof(wchar_t));
    EXPECT_EQ(S_OK, camera->AddProperty(&DEVPKEY_DeviceInterface_VCamCreate_SourceId, DEVPROP_TYPE_STRING,
                                        reinterpret_cast<const BYTE*>(kSourceId), sourceSize));
    const INT32 lifetime = MFVirtualCameraLifetime_System;
    EXPECT_EQ(S_OK, camera->AddProperty(&DEVPKEY_DeviceInterface_VCamCreate_Lifetime, DEVPROP_TYPE_INT32,
                                        reinterpret_cast<const BYTE*>(&lifetime), sizeof lifetime));
    EXPECT_EQ(S_OK, camera->Start(nullptr));
    EXPECT_EQ(S_OK, camera->Remove());
    EXPECT_EQ(0u, camera->Release());

    const std::vector<std::string> expected = {
        "MFIsVirtualCameraTypeSupported\ttype=0",
        "MFCreateVirtualCamera\ttype=0\tlifetime=1\taccess=0\tname=Nivra\t"
        "source={5D1E3B7A-2C94-4F60-A8B1-0E6F9C2D4B83}\tcategories=null\tcount=0",
        "IMFVirtualCamera::AddProperty\tkey={6AC1FBF7-45F7-4E06-BDA7-F817EBFA04D1},4\ttype=18\tsize=78\tdata=" +
            Utf16Hex(kSourceId),
        "IMFVirtualCamera::AddProperty\tkey={6AC1FBF7-45F7-4E06-BDA7-F817EBFA04D1},6\ttype=6\tsize=4\tdata=01000000",
        "IMFVirtualCamera::Start\tcallback=null",
        "IMFVirtualCamera::Remove",
        "IMFVirtualCamera::Release\tcount=0",
    };
    EXPECT_EQ(expected, RawLines(log));
    EXPECT_EQ('\n', log.Bytes().back());
}

TEST_F(StandIn, SensorProfileCallsAreRecordedAndCanBeReadBack)
{
    TemporaryCallLog log;
    ComPtr<IMFSensorProfileCollection> collection;
    ASSERT_EQ(S_OK, MFCreateSensorProfileCollection(&collection));
    for (const GUID& type : {KSCAMERAPROFILE_Legacy, KSCAMERAPROFILE_VideoConferencing}) {
        ComPtr<IMFSensorProfile> profile;
        ASSERT_EQ(S_OK, MFCreateSensorProfile(type, 0, nullptr, &profile));
        for (UINT32 stream = 0; stream < 3; ++stream) {
            ASSERT_EQ(S_OK, profile->AddProfileFilter(stream, kFilter));
        }
        ASSERT_EQ(S_OK, collection->AddProfile(profile.Get()));
    }
    const std::string filter = "\tfilter=((RES==;FRT<=30,1;SUT==))";
    std::vector<std::string> expected = {"MFCreateSensorProfileCollection"};
    for (const char* type : {"{B4894D81-62B7-4EEC-8740-80658C4A9D3E}", "{C5444A88-E1BF-4597-B2DD-9E1EAD864BB8}"}) {
        expected.push_back(std::string("MFCreateSensorProfile\ttype=") + type + "\tindex=0\tconstraints=null");
        expected.push_back("IMFSensorProfile::AddProfileFilter\tstream=0" + filter);
        expected.push_back("IMFSensorProfile::AddProfileFilter\tstream=1" + filter);
        expected.push_back("IMFSensorProfile::AddProfileFilter\tstream=2" + filter);
        expected.push_back("IMFSensorProfileCollection::AddProfile");
        expected.push_back("IMFSensorProfile::Release\tcount=1");  // the collection keeps its own reference
    }
    EXPECT_EQ(expected, RawLines(log));

    // Read back in order, through the collection and the test-only face.
    ASSERT_EQ(2u, collection->GetProfileCount());
    for (DWORD index = 0; index < 2; ++index) {
        ComPtr<IMFSensorProfile> profile;
        ASSERT_EQ(S_OK, collection->GetProfile(index, &profile));
        SENSORPROFILEID id{};
        ASSERT_EQ(S_OK, profile->GetProfileId(&id));
        EXPECT_TRUE(id.Type == (index == 0 ? KSCAMERAPROFILE_Legacy : KSCAMERAPROFILE_VideoConferencing));
        ComPtr<IStandInSensorProfile> inspect;
        ASSERT_EQ(S_OK, profile.As(&inspect));
        UINT32 count = 0;
        ASSERT_EQ(S_OK, inspect->GetFilterCount(&count));
        ASSERT_EQ(3u, count);
        for (UINT32 i = 0; i < count; ++i) {
            UINT32 stream = 99;
            std::wstring text;
            ASSERT_EQ(S_OK, StandInGetFilter(inspect.Get(), i, &stream, &text));
            EXPECT_EQ(i, stream);
            EXPECT_EQ(kFilter, text);
        }
        UINT32 stream = 0;
        UINT32 length = 0;
        EXPECT_EQ(MF_E_INVALIDINDEX, inspect->GetFilter(3, &stream, nullptr, 0, &length));
        wchar_t small[4];
        EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER), inspect->GetFilter(0, &stream, small, 4, &length));
        EXPECT_EQ(wcslen(kFilter), length);
        EXPECT_EQ(S_FALSE, inspect->GetConstraints(nullptr, 0, &length));
        EXPECT_EQ(0u, length);
    }
    ComPtr<IMFSensorProfile> missing;
    EXPECT_EQ(MF_E_INVALIDINDEX, collection->GetProfile(2, &missing));
    EXPECT_EQ(nullptr, missing.Get());
}

TEST_F(StandIn, CollectionFindsAndRemovesByIdentifier)
{
    ComPtr<IMFSensorProfileCollection> collection;
    ASSERT_EQ(S_OK, MFCreateSensorProfileCollection(&collection));
    for (UINT32 index : {0u, 1u, 0u}) {
        ComPtr<IMFSensorProfile> profile;
        ASSERT_EQ(S_OK, MFCreateSensorProfile(index == 1 ? KSCAMERAPROFILE_HighQualityPhoto : KSCAMERAPROFILE_Legacy,
                                              index, L"constraint", &profile));
        ASSERT_EQ(S_OK, collection->AddProfile(profile.Get()));
    }
    SENSORPROFILEID photo{KSCAMERAPROFILE_HighQualityPhoto, 1, 0};
    SENSORPROFILEID legacy{KSCAMERAPROFILE_Legacy, 0, 0};
    SENSORPROFILEID absent{KSCAMERAPROFILE_HighQualityPhoto, 0, 0};
    ComPtr<IMFSensorProfile> found;
    ASSERT_EQ(S_OK, collection->FindProfile(&photo, &found));
    ComPtr<IStandInSensorProfile> inspect;
    ASSERT_EQ(S_OK, found.As(&inspect));
    wchar_t text[16] = {};
    UINT32 length = 0;
    EXPECT_EQ(S_OK, inspect->GetConstraints(text, 16, &length));
    EXPECT_EQ(std::wstring(L"constraint"), text);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NOT_FOUND), collection->FindProfile(&absent, &found));
    EXPECT_EQ(nullptr, found.Get());

    collection->RemoveProfile(&legacy);  // both profiles with this identifier
    ASSERT_EQ(1u, collection->GetProfileCount());
    collection->RemoveProfileByIndex(5);  // past the end: nothing
    ASSERT_EQ(1u, collection->GetProfileCount());
    collection->RemoveProfileByIndex(0);
    EXPECT_EQ(0u, collection->GetProfileCount());
}

TEST_F(StandIn, ValuesAreEscapedAndWrittenAsUtf8)
{
    TemporaryCallLog log;
    IMFVirtualCamera* camera = nullptr;
    ASSERT_EQ(S_OK, CreateCamera(&camera, L"Vel\tMora\\\uCE74\uBA54\uB77C"));
    camera->Release();
    auto lines = log.Lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].raw.find("\tname=Vel\\tMora\\\\\xEC\xB9\xB4\xEB\xA9\x94\xEB\x9D\xBC\t"));
    EXPECT_EQ("Vel\tMora\\\xEC\xB9\xB4\xEB\xA9\x94\xEB\x9D\xBC", lines[0].Field("name"));
    EXPECT_EQ("{5D1E3B7A-2C94-4F60-A8B1-0E6F9C2D4B83}", lines[0].Field("source"));
}

TEST_F(StandIn, NothingIsRecordedWithoutTheLogVariable)
{
    TemporaryCallLog log;
    {
        ScopedEnvironmentVariable noLog(L"VELMORA_STANDIN_LOG", nullptr);
        BOOL isSupported = FALSE;
        EXPECT_EQ(S_OK, supported(MFVirtualCameraType_SoftwareCameraSource, &isSupported));
        ComPtr<IMFSensorProfile> profile;
        EXPECT_EQ(S_OK, MFCreateSensorProfile(KSCAMERAPROFILE_Legacy, 0, nullptr, &profile));
    }
    EXPECT_EQ("", log.Bytes());
    BOOL isSupported = FALSE;
    EXPECT_EQ(S_OK, supported(MFVirtualCameraType_SoftwareCameraSource, &isSupported));  // variable back: recorded
    EXPECT_EQ(1u, log.Lines().size());
}

// ---- Failure injection -----------------------------------------------------------------------

TEST_F(StandIn, FailingCreationReturnsNoObjectAndIsRecordedWithItsResult)
{
    TemporaryCallLog log;
    ScopedEnvironmentVariable fail(L"VELMORA_STANDIN_FAIL", L"MFCreateVirtualCamera=0x80070005");
    IMFVirtualCamera* camera = reinterpret_cast<IMFVirtualCamera*>(&camera);
    EXPECT_EQ(E_ACCESSDENIED, CreateCamera(&camera));
    EXPECT_EQ(nullptr, camera);
    EXPECT_EQ(E_ACCESSDENIED, CreateCamera(&camera));  // every call
    auto raw = RawLines(log);
    ASSERT_EQ(2u, raw.size());
    EXPECT_EQ("MFCreateVirtualCamera\ttype=0\tlifetime=1\taccess=0\tname=Nivra\t"
              "source={5D1E3B7A-2C94-4F60-A8B1-0E6F9C2D4B83}\tcategories=null\tcount=0\tresult=0x80070005",
              raw[0]);
}

TEST_F(StandIn, NumberedItemFailsOnlyThatCall)
{
    TemporaryCallLog log;
    ComPtr<IMFVirtualCamera> camera;
    ASSERT_EQ(S_OK, CreateCamera(camera.GetAddressOf()));
    ScopedEnvironmentVariable fail(L"VELMORA_STANDIN_FAIL", L"IMFVirtualCamera::AddProperty#2=0x80004005");
    const INT32 value = 1;
    const auto add = [&] {
        return camera->AddProperty(&DEVPKEY_DeviceInterface_VCamCreate_Access, DEVPROP_TYPE_INT32,
                                   reinterpret_cast<const BYTE*>(&value), sizeof value);
    };
    EXPECT_EQ(S_OK, add());
    EXPECT_EQ(E_FAIL, add());
    EXPECT_EQ(S_OK, add());
    auto lines = Named(log, "IMFVirtualCamera::AddProperty");
    ASSERT_EQ(3u, lines.size());
    EXPECT_FALSE(lines[0].Has("result"));
    EXPECT_EQ("0x80004005", lines[1].Field("result"));
    EXPECT_FALSE(lines[2].Has("result"));

    // Numbers run on across calls until the counts are reset.
    EXPECT_EQ(S_OK, add());
    module.ResetCallCounts();
    EXPECT_EQ(S_OK, add());
    EXPECT_EQ(E_FAIL, add());
}

TEST_F(StandIn, SuccessCodesReplaceSOkAndMalformedItemsAreSkipped)
{
    TemporaryCallLog log;
    ComPtr<IMFVirtualCamera> camera;
    ASSERT_EQ(S_OK, CreateCamera(camera.GetAddressOf()));
    {
        ScopedEnvironmentVariable fail(L"VELMORA_STANDIN_FAIL", L"IMFVirtualCamera::Start=0x00000001");
        EXPECT_EQ(S_FALSE, camera->Start(nullptr));
        EXPECT_EQ("0x00000001", log.Lines().back().Field("result"));
    }
    {
        ScopedEnvironmentVariable fail(L"VELMORA_STANDIN_FAIL",
                                       L"garbage, MFIsVirtualCameraTypeSupported#x=0x80004005,"
                                       L"MFIsVirtualCameraTypeSupported=zz, MFIsVirtualCameraTypeSupported = 0x8000FFFF ");
        BOOL isSupported = 7;
        EXPECT_EQ(E_UNEXPECTED, supported(MFVirtualCameraType_SoftwareCameraSource, &isSupported));
        EXPECT_EQ(7, isSupported);  // a failed call leaves the out value alone
        EXPECT_EQ("MFIsVirtualCameraTypeSupported\ttype=0\tresult=0x8000FFFF", log.Lines().back().raw);
    }
    // Other names are not affected by an item.
    ScopedEnvironmentVariable fail(L"VELMORA_STANDIN_FAIL", L"IMFVirtualCamera::Remove=0x80004005");
    EXPECT_EQ(S_OK, camera->Start(nullptr));
    EXPECT_EQ(E_FAIL, camera->Remove());
}

TEST_F(StandIn, SensorProfileFailuresLeaveNothingBehind)
{
    {
        ScopedEnvironmentVariable fail(L"VELMORA_STANDIN_FAIL",
                                       L"MFCreateSensorProfileCollection=0x8007000E,MFCreateSensorProfile=0x80004005");
        IMFSensorProfileCollection* failedCollection = reinterpret_cast<IMFSensorProfileCollection*>(&fail);
        EXPECT_EQ(E_OUTOFMEMORY, MFCreateSensorProfileCollection(&failedCollection));
        EXPECT_EQ(nullptr, failedCollection);
        IMFSensorProfile* failedProfile = reinterpret_cast<IMFSensorProfile*>(&fail);
        EXPECT_EQ(E_FAIL, MFCreateSensorProfile(KSCAMERAPROFILE_Legacy, 0, nullptr, &failedProfile));
        EXPECT_EQ(nullptr, failedProfile);
    }
    ComPtr<IMFSensorProfileCollection> collection;
    ComPtr<IMFSensorProfile> profile;
    ASSERT_EQ(S_OK, MFCreateSensorProfileCollection(&collection));
    ASSERT_EQ(S_OK, MFCreateSensorProfile(KSCAMERAPROFILE_Legacy, 0, nullptr, &profile));
    ScopedEnvironmentVariable fail(L"VELMORA_STANDIN_FAIL",
                                   L"IMFSensorProfile::AddProfileFilter#2=0x8007000E,"
                                   L"IMFSensorProfileCollection::AddProfile=0x80004005");
    EXPECT_EQ(S_OK, profile->AddProfileFilter(0, kFilter));
    EXPECT_EQ(E_OUTOFMEMORY, profile->AddProfileFilter(1, kFilter));
    EXPECT_EQ(S_OK, profile->AddProfileFilter(2, kFilter));
    ComPtr<IStandInSensorProfile> inspect;
    ASSERT_EQ(S_OK, profile.As(&inspect));
    UINT32 count = 0;
    ASSERT_EQ(S_OK, inspect->GetFilterCount(&count));
    ASSERT_EQ(2u, count);
    UINT32 stream = 0;
    std::wstring text;
    ASSERT_EQ(S_OK, StandInGetFilter(inspect.Get(), 1, &stream, &text));
    EXPECT_EQ(2u, stream);
    EXPECT_EQ(E_FAIL, collection->AddProfile(profile.Get()));
    EXPECT_EQ(0u, collection->GetProfileCount());
}

// ---- Support switch --------------------------------------------------------------------------

TEST_F(StandIn, SupportSwitchIsReadAtEachCall)
{
    BOOL isSupported = FALSE;
    ASSERT_EQ(S_OK, supported(MFVirtualCameraType_SoftwareCameraSource, &isSupported));
    EXPECT_TRUE(isSupported);
    {
        ScopedEnvironmentVariable off(L"VELMORA_STANDIN_SUPPORTED", L"0");
        ASSERT_EQ(S_OK, supported(MFVirtualCameraType_SoftwareCameraSource, &isSupported));
        EXPECT_FALSE(isSupported);
    }
    {
        ScopedEnvironmentVariable on(L"VELMORA_STANDIN_SUPPORTED", L"1");
        ASSERT_EQ(S_OK, supported(MFVirtualCameraType_SoftwareCameraSource, &isSupported));
        EXPECT_TRUE(isSupported);
    }
    ASSERT_EQ(S_OK, supported(static_cast<MFVirtualCameraType>(1), &isSupported));
    EXPECT_FALSE(isSupported);
    EXPECT_EQ(E_POINTER, supported(MFVirtualCameraType_SoftwareCameraSource, nullptr));
}

TEST_F(StandIn, CreationRejectsMissingArguments)
{
    TemporaryCallLog log;
    IMFVirtualCamera* camera = nullptr;
    EXPECT_EQ(E_POINTER, create(MFVirtualCameraType_SoftwareCameraSource, MFVirtualCameraLifetime_Session,
                                MFVirtualCameraAccess_CurrentUser, L"Nivra", kSourceId, nullptr, 0, nullptr));
    EXPECT_EQ(E_INVALIDARG, create(MFVirtualCameraType_SoftwareCameraSource, MFVirtualCameraLifetime_Session,
                                   MFVirtualCameraAccess_CurrentUser, nullptr, kSourceId, nullptr, 0, &camera));
    EXPECT_EQ(E_INVALIDARG, create(MFVirtualCameraType_SoftwareCameraSource, MFVirtualCameraLifetime_Session,
                                   MFVirtualCameraAccess_CurrentUser, L"Nivra", kSourceId, nullptr, 2, &camera));
    EXPECT_EQ(nullptr, camera);
    auto lines = log.Lines();
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("0x80004003", lines[0].Field("result"));
    EXPECT_EQ("null", lines[1].Field("name"));
    EXPECT_EQ("2", lines[2].Field("count"));
    const GUID categories[1] = {VelmoraPinNameVideoCapture};
    ASSERT_EQ(S_OK, create(MFVirtualCameraType_SoftwareCameraSource, MFVirtualCameraLifetime_Session,
                           MFVirtualCameraAccess_AllUsers, L"Nivra", kSourceId, categories, 1, &camera));
    EXPECT_EQ("nonnull", log.Lines().back().Field("categories"));
    EXPECT_EQ("1", log.Lines().back().Field("access"));
    camera->Release();
}

// ---- Concurrent appends ----------------------------------------------------------------------

std::string WorkerLine(int worker)
{
    return "MFCreateSensorProfile\ttype={32440725-961B-4CA3-B5B2-854E719D9E1B}\tindex=" + std::to_string(worker) +
           "\tconstraints=" + std::string(400, 'c');
}

DWORD WINAPI WorkerThread(void* parameter)
{
    const UINT32 worker = static_cast<UINT32>(reinterpret_cast<UINT_PTR>(parameter));
    const std::wstring constraints(400, L'c');
    for (int i = 0; i < kCallsPerThread; ++i) {
        IMFSensorProfile* profile = nullptr;
        if (FAILED(MFCreateSensorProfile(KSCAMERAPROFILE_HighQualityPhoto, worker, constraints.c_str(), &profile))) {
            return 1;
        }
        profile->Release();
    }
    return 0;
}

// The worker process: kWorkerThreads threads record at once.
int RunWorker(int worker)
{
    HANDLE threads[kWorkerThreads];
    for (auto& thread : threads) {
        thread = CreateThread(nullptr, 0, WorkerThread, reinterpret_cast<void*>(static_cast<UINT_PTR>(worker)), 0,
                              nullptr);
        if (thread == nullptr) {
            return 2;
        }
    }
    WaitForMultipleObjects(kWorkerThreads, threads, TRUE, INFINITE);
    int status = 0;
    for (auto& thread : threads) {
        DWORD code = 1;
        GetExitCodeThread(thread, &code);
        status |= static_cast<int>(code);
        CloseHandle(thread);
    }
    return status;
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

    std::vector<int> perWorker(kWorkers, 0);
    int releases = 0;
    int other = 0;
    for (const auto& line : log.Lines()) {
        if (line.raw == "IMFSensorProfile::Release\tcount=0") {
            ++releases;
            continue;
        }
        bool matched = false;
        for (int worker = 0; worker < kWorkers; ++worker) {
            if (line.raw == WorkerLine(worker)) {
                ++perWorker[worker];
                matched = true;
            }
        }
        if (!matched && ++other <= 5) {
            ADD_FAILURE() << "torn or foreign line: " << line.raw.substr(0, 120);
        }
    }
    EXPECT_EQ(0, other);
    EXPECT_EQ(kWorkers * kWorkerThreads * kCallsPerThread, releases);
    for (int worker = 0; worker < kWorkers; ++worker) {
        EXPECT_EQ(kWorkerThreads * kCallsPerThread, perWorker[worker]) << "worker " << worker;
    }
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
