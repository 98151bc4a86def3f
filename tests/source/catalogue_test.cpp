// The fixed camera description as the camera service reads it: media types, stream and
// source attribute stores, sensor profiles (read back through the stand-in's test face),
// the presentation descriptor and the control objects.
#include "tests/source/source_test_support.h"

#include <ks.h>

#include "common/sdk_additions.h"
#include "library/com/activate.h"
#include "library/com/object_count.h"
#include "library/source/media_type_catalogue.h"
#include "tests/standins/mfsensorgroup/standin_control.h"
#include "tests/standins/mfsensorgroup/standin_sensor_profile.h"

namespace {

using namespace velmora::test;

constexpr HRESULT kKsRefused = static_cast<HRESULT>(0x80070032);

// The published catalogue, written out rather than computed:
// NV12?, width, height, rate, stride, sample size, bit rate.
constexpr UINT32 kExpected[20][7] = {
    {1, 640, 360, 30, 640, 345600, 82944000},       {0, 640, 360, 30, 1280, 460800, 110592000},
    {1, 640, 480, 30, 640, 460800, 110592000},      {0, 640, 480, 30, 1280, 614400, 147456000},
    {1, 960, 540, 30, 960, 777600, 186624000},      {0, 960, 540, 30, 1920, 1036800, 248832000},
    {1, 1280, 720, 30, 1280, 1382400, 331776000},   {0, 1280, 720, 30, 2560, 1843200, 442368000},
    {1, 1920, 1080, 30, 1920, 3110400, 746496000},  {0, 1920, 1080, 30, 3840, 4147200, 995328000},
    {1, 640, 360, 60, 640, 345600, 165888000},      {0, 640, 360, 60, 1280, 460800, 221184000},
    {1, 640, 480, 60, 640, 460800, 221184000},      {0, 640, 480, 60, 1280, 614400, 294912000},
    {1, 960, 540, 60, 960, 777600, 373248000},      {0, 960, 540, 60, 1920, 1036800, 497664000},
    {1, 1280, 720, 60, 1280, 1382400, 663552000},   {0, 1280, 720, 60, 2560, 1843200, 884736000},
    {1, 1920, 1080, 60, 1920, 3110400, 1492992000}, {0, 1920, 1080, 60, 3840, 4147200, 1990656000},
};

ComPtr<IMFMediaSourceEx> ActivateSource(HRESULT* result = nullptr) {
    ComPtr<IMFActivate> activate;
    *activate.ReleaseAndGetAddressOf() = new VelmoraActivate();
    ComPtr<IMFMediaSourceEx> source;
    const HRESULT hr = activate->ActivateObject(IID_PPV_ARGS(&source));
    if (result) {
        *result = hr;
    }
    return source;
}

struct Streams {
    ComPtr<IMFPresentationDescriptor> descriptor;
    ComPtr<IMFStreamDescriptor> streams[3];
    ComPtr<IMFMediaTypeHandler> handlers[3];
    BOOL selected[3] = {};

    explicit Streams(IMFMediaSource* source) {
        EXPECT_EQ(source->CreatePresentationDescriptor(&descriptor), S_OK);
        DWORD count = 0;
        EXPECT_EQ(descriptor->GetStreamDescriptorCount(&count), S_OK);
        EXPECT_EQ(count, 3u);
        for (DWORD index = 0; index < 3; ++index) {
            EXPECT_EQ(descriptor->GetStreamDescriptorByIndex(index, &selected[index], &streams[index]), S_OK);
            EXPECT_EQ(streams[index]->GetMediaTypeHandler(&handlers[index]), S_OK);
        }
    }
};

void ExpectKsRefusal(IKsControl* control) {
    KSPROPERTY property{};
    ULONG returned = 77;
    EXPECT_EQ(control->KsProperty(&property, sizeof property, nullptr, 0, &returned), kKsRefused);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(control->KsProperty(&property, sizeof property, nullptr, 0, nullptr), kKsRefused);
    returned = 5;
    EXPECT_EQ(control->KsMethod(nullptr, 0, nullptr, 0, &returned), kKsRefused);
    EXPECT_EQ(returned, 0u);
    returned = 5;
    EXPECT_EQ(control->KsEvent(nullptr, 0, nullptr, 0, &returned), kKsRefused);
    EXPECT_EQ(returned, 0u);
    void* attributes = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(control->QueryInterface(__uuidof(IMFAttributes), &attributes), E_NOINTERFACE);
    EXPECT_EQ(attributes, nullptr);
    EXPECT_EQ(control->QueryInterface(__uuidof(IKsControl), nullptr), E_POINTER);
}

// The store holds the four device-stream attributes (and `extra` more items).
void ExpectCaptureAttributes(IMFAttributes* attributes, UINT32 streamId, UINT32 extra) {
    GUID category{};
    UINT32 id = 99, shared = 0, types = 0, count = 0;
    EXPECT_EQ(attributes->GetGUID(MF_DEVICESTREAM_STREAM_CATEGORY, &category), S_OK);
    EXPECT_EQ(attributes->GetUINT32(MF_DEVICESTREAM_STREAM_ID, &id), S_OK);
    EXPECT_EQ(attributes->GetUINT32(MF_DEVICESTREAM_FRAMESERVER_SHARED, &shared), S_OK);
    EXPECT_EQ(attributes->GetUINT32(MF_DEVICESTREAM_ATTRIBUTE_FRAMESOURCE_TYPES, &types), S_OK);
    EXPECT_EQ(attributes->GetCount(&count), S_OK);
    EXPECT_EQ(category, VelmoraPinNameVideoCapture);
    EXPECT_EQ(std::vector<UINT32>({id, shared, types, count}), std::vector<UINT32>({streamId, 1, 1, 4 + extra}));
}

TEST(Catalogue, TwentySharedTypesWithExactlyElevenAttributesInOrder) {
    ComPtr<IMFMediaSourceEx> source = ActivateSource();
    ASSERT_TRUE(source);
    Streams streams(source.Get());
    for (DWORD index = 0; index < 20; ++index) {
        SCOPED_TRACE("type " + std::to_string(index));
        const UINT32* e = kExpected[index];
        ComPtr<IMFMediaType> types[3];
        for (int stream = 0; stream < 3; ++stream) {
            DWORD count = 0;
            EXPECT_EQ(streams.handlers[stream]->GetMediaTypeCount(&count), S_OK);
            EXPECT_EQ(count, 20u);
            ASSERT_EQ(streams.handlers[stream]->GetMediaTypeByIndex(index, &types[stream]), S_OK);
        }
        EXPECT_EQ(types[0].Get(), types[1].Get());  // one object behind all three streams
        EXPECT_EQ(types[0].Get(), types[2].Get());

        const GUID subtype = e[0] ? MFVideoFormat_NV12 : MFVideoFormat_YUY2;
        const struct {
            GUID key;
            VARTYPE type;
            UINT64 number;
            const GUID* guid;
        } expected[11] = {
            {MF_MT_MAJOR_TYPE, VT_CLSID, 0, &MFMediaType_Video},
            {MF_MT_SUBTYPE, VT_CLSID, 0, &subtype},
            {MF_MT_INTERLACE_MODE, VT_UI4, 2, nullptr},
            {MF_MT_ALL_SAMPLES_INDEPENDENT, VT_UI4, 1, nullptr},
            {MF_MT_FIXED_SIZE_SAMPLES, VT_UI4, 1, nullptr},
            {MF_MT_FRAME_SIZE, VT_UI8, (UINT64{e[1]} << 32) | e[2], nullptr},
            {MF_MT_FRAME_RATE, VT_UI8, (UINT64{e[3]} << 32) | 1, nullptr},
            {MF_MT_PIXEL_ASPECT_RATIO, VT_UI8, (UINT64{1} << 32) | 1, nullptr},
            {MF_MT_DEFAULT_STRIDE, VT_UI4, e[4], nullptr},
            {MF_MT_AVG_BITRATE, VT_UI4, e[6], nullptr},
            {MF_MT_SAMPLE_SIZE, VT_UI4, e[5], nullptr},
        };
        UINT32 count = 0;
        EXPECT_EQ(types[0]->GetCount(&count), S_OK);
        ASSERT_EQ(count, 11u);
        for (UINT32 item = 0; item < 11; ++item) {
            GUID key{};
            PROPVARIANT value;
            PropVariantInit(&value);
            ASSERT_EQ(types[0]->GetItemByIndex(item, &key, &value), S_OK);
            EXPECT_EQ(key, expected[item].key) << "position " << item;
            EXPECT_EQ(value.vt, expected[item].type) << "position " << item;
            if (value.vt == VT_CLSID) {
                EXPECT_EQ(*value.puuid, *expected[item].guid) << "position " << item;
            } else {
                EXPECT_EQ(value.vt == VT_UI8 ? value.uhVal.QuadPart : value.ulVal, expected[item].number)
                    << "position " << item;
            }
            PropVariantClear(&value);
        }
    }
    for (int stream = 0; stream < 3; ++stream) {
        ComPtr<IMFMediaType> current, first;
        DWORD flags = 0;
        ASSERT_EQ(streams.handlers[stream]->GetCurrentMediaType(&current), S_OK);
        ASSERT_EQ(streams.handlers[stream]->GetMediaTypeByIndex(0, &first), S_OK);
        EXPECT_EQ(first->IsEqual(current.Get(), &flags), S_OK);
    }
    EXPECT_EQ(CreateNv12MediaType(640, 360, 30, nullptr), E_POINTER);
    EXPECT_EQ(CreateYuy2MediaType(640, 360, 30, nullptr), E_POINTER);
    EXPECT_EQ(SetCaptureStreamAttributes(nullptr, 0), E_INVALIDARG);
    EXPECT_EQ(CreateProfiledSourceAttributes(nullptr), E_POINTER);
}

TEST(Catalogue, StreamDescriptorsStreamStoresAndPresentationDescriptor) {
    ComPtr<IMFMediaSourceEx> source = ActivateSource();
    ASSERT_TRUE(source);
    Streams streams(source.Get());
    IUnknown* controls[3] = {};
    for (UINT32 id = 0; id < 3; ++id) {
        SCOPED_TRACE("stream " + std::to_string(id));
        DWORD identifier = 99;
        EXPECT_EQ(streams.streams[id]->GetStreamIdentifier(&identifier), S_OK);
        EXPECT_EQ(identifier, id);
        EXPECT_EQ(streams.selected[id] != FALSE, id == 0);
        ExpectCaptureAttributes(streams.streams[id].Get(), id, 1);  // and the control object
        ComPtr<IKsControl> control;
        ASSERT_EQ(streams.streams[id]->GetUnknown(StreamKsControlAttribute, IID_PPV_ARGS(&control)), S_OK);
        ExpectKsRefusal(control.Get());
        controls[id] = control.Get();

        ComPtr<IMFAttributes> store, again;
        ASSERT_EQ(source->GetStreamAttributes(id, &store), S_OK);
        ASSERT_EQ(source->GetStreamAttributes(id, &again), S_OK);
        EXPECT_EQ(store.Get(), again.Get());  // the source's own store, not a copy
        EXPECT_NE(static_cast<IUnknown*>(store.Get()), static_cast<IUnknown*>(streams.streams[id].Get()));
        ExpectCaptureAttributes(store.Get(), id, 0);
    }
    EXPECT_TRUE(controls[0] != controls[1] && controls[1] != controls[2] && controls[0] != controls[2]);
    IMFAttributes* store = reinterpret_cast<IMFAttributes*>(0x1234);
    EXPECT_EQ(source->GetStreamAttributes(3, &store), MF_E_INVALIDSTREAMNUMBER);
    EXPECT_EQ(store, nullptr);
    EXPECT_EQ(source->GetStreamAttributes(0, nullptr), E_POINTER);

    // A caller's selection stays on its own clone.
    ASSERT_EQ(streams.descriptor->SelectStream(2), S_OK);
    ASSERT_EQ(streams.descriptor->DeselectStream(0), S_OK);
    Streams second(source.Get());
    EXPECT_NE(streams.descriptor.Get(), second.descriptor.Get());
    EXPECT_EQ(std::vector<BOOL>(second.selected, second.selected + 3), std::vector<BOOL>({TRUE, FALSE, FALSE}));

    ComPtr<IKsControl> face;
    ASSERT_EQ(source.As(&face), S_OK);
    ExpectKsRefusal(face.Get());
}

TEST(Catalogue, SourceAttributesHoldFiveProfilesWithThreeFiltersEach) {
    ComPtr<IMFMediaSourceEx> source = ActivateSource();
    ASSERT_TRUE(source);
    ComPtr<IMFAttributes> attributes, again;
    ASSERT_EQ(source->GetSourceAttributes(&attributes), S_OK);
    ASSERT_EQ(source->GetSourceAttributes(&again), S_OK);
    EXPECT_EQ(attributes.Get(), again.Get());
    UINT32 count = 0;
    EXPECT_EQ(attributes->GetCount(&count), S_OK);
    EXPECT_EQ(count, 2u);
    ComPtr<IKsControl> control;
    ASSERT_EQ(attributes->GetUnknown(SourceKsControlAttribute, IID_PPV_ARGS(&control)), S_OK);
    ExpectKsRefusal(control.Get());

    ComPtr<IMFSensorProfileCollection> collection;
    ASSERT_EQ(attributes->GetUnknown(MF_DEVICEMFT_SENSORPROFILE_COLLECTION, IID_PPV_ARGS(&collection)), S_OK);
    ASSERT_EQ(collection->GetProfileCount(), 5u);
    const GUID expectedTypes[5] = {KSCAMERAPROFILE_Legacy, KSCAMERAPROFILE_VideoConferencing,
                                   KSCAMERAPROFILE_VideoRecording, KSCAMERAPROFILE_BalancedVideoAndPhoto,
                                   KSCAMERAPROFILE_HighQualityPhoto};
    for (DWORD index = 0; index < 5; ++index) {
        SCOPED_TRACE("profile " + std::to_string(index));
        ComPtr<IMFSensorProfile> profile;
        ComPtr<IStandInSensorProfile> recorded;
        SENSORPROFILEID id{};
        ASSERT_EQ(collection->GetProfile(index, &profile), S_OK);
        ASSERT_EQ(profile->GetProfileId(&id), S_OK);
        EXPECT_EQ(id.Type, expectedTypes[index]);
        EXPECT_EQ(id.Index, 0u);
        ASSERT_EQ(profile.As(&recorded), S_OK);
        UINT32 length = 99, filters = 0;
        EXPECT_EQ(recorded->GetConstraints(nullptr, 0, &length), S_FALSE);  // no constraint string
        ASSERT_EQ(recorded->GetFilterCount(&filters), S_OK);
        ASSERT_EQ(filters, 3u);
        for (UINT32 filter = 0; filter < 3; ++filter) {
            UINT32 streamId = 99;
            std::wstring text;
            ASSERT_EQ(StandInGetFilter(recorded.Get(), filter, &streamId, &text), S_OK);
            EXPECT_EQ(streamId, filter);
            EXPECT_EQ(text, L"((RES==;FRT<=30,1;SUT==))");
        }
    }
}

TEST(Catalogue, AFailingBuildStepFailsTheActivation) {
    // Any failing step returns its own result, and the half-built source is gone at once.
    const std::uint32_t before = ObjectCount.load();
    for (const wchar_t* failure :
         {L"MFCreateSensorProfile#3=0x80004005", L"IMFSensorProfile::AddProfileFilter#8=0x80004005",
          L"IMFSensorProfileCollection::AddProfile=0x80004005", L"MFCreateSensorProfileCollection=0x80004005"}) {
        velmora::standin::StandInModule(L"mfsensorgroup.dll").ResetCallCounts();
        velmora::standin::ScopedEnvironmentVariable fail(L"VELMORA_STANDIN_FAIL", failure);
        HRESULT hr = S_OK;
        EXPECT_FALSE(ActivateSource(&hr));
        EXPECT_EQ(hr, static_cast<HRESULT>(0x80004005)) << HrText(hr);
        EXPECT_EQ(ObjectCount.load(), before);
    }
}

}  // namespace
