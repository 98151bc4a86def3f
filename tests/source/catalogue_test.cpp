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

struct ExpectedType {
    bool nv12;
    UINT32 width, height, rate, stride, sampleSize, bitRate;
};

// The published catalogue, written out rather than computed.
constexpr ExpectedType kExpected[20] = {
    {true, 640, 360, 30, 640, 345600, 82944000},       {false, 640, 360, 30, 1280, 460800, 110592000},
    {true, 640, 480, 30, 640, 460800, 110592000},      {false, 640, 480, 30, 1280, 614400, 147456000},
    {true, 960, 540, 30, 960, 777600, 186624000},      {false, 960, 540, 30, 1920, 1036800, 248832000},
    {true, 1280, 720, 30, 1280, 1382400, 331776000},   {false, 1280, 720, 30, 2560, 1843200, 442368000},
    {true, 1920, 1080, 30, 1920, 3110400, 746496000},  {false, 1920, 1080, 30, 3840, 4147200, 995328000},
    {true, 640, 360, 60, 640, 345600, 165888000},      {false, 640, 360, 60, 1280, 460800, 221184000},
    {true, 640, 480, 60, 640, 460800, 221184000},      {false, 640, 480, 60, 1280, 614400, 294912000},
    {true, 960, 540, 60, 960, 777600, 373248000},      {false, 960, 540, 60, 1920, 1036800, 497664000},
    {true, 1280, 720, 60, 1280, 1382400, 663552000},   {false, 1280, 720, 60, 2560, 1843200, 884736000},
    {true, 1920, 1080, 60, 1920, 3110400, 1492992000}, {false, 1920, 1080, 60, 3840, 4147200, 1990656000},
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
};

Streams ReadStreams(IMFMediaSource* source) {
    Streams result;
    EXPECT_EQ(source->CreatePresentationDescriptor(&result.descriptor), S_OK);
    for (DWORD index = 0; index < 3; ++index) {
        BOOL selected = FALSE;
        EXPECT_EQ(result.descriptor->GetStreamDescriptorByIndex(index, &selected, &result.streams[index]), S_OK);
        EXPECT_EQ(result.streams[index]->GetMediaTypeHandler(&result.handlers[index]), S_OK);
    }
    return result;
}

void ExpectKsRefusal(IKsControl* control) {
    KSPROPERTY property{};
    ULONG returned = 77;
    EXPECT_EQ(control->KsProperty(&property, sizeof property, nullptr, 0, &returned), static_cast<HRESULT>(0x80070032));
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(control->KsProperty(&property, sizeof property, nullptr, 0, nullptr), static_cast<HRESULT>(0x80070032));
    returned = 5;
    EXPECT_EQ(control->KsMethod(nullptr, 0, nullptr, 0, &returned), static_cast<HRESULT>(0x80070032));
    EXPECT_EQ(returned, 0u);
    returned = 5;
    EXPECT_EQ(control->KsEvent(nullptr, 0, nullptr, 0, &returned), static_cast<HRESULT>(0x80070032));
    EXPECT_EQ(returned, 0u);

    IUnknown* attributes = reinterpret_cast<IUnknown*>(0x1234);
    EXPECT_EQ(control->QueryInterface(__uuidof(IMFAttributes), reinterpret_cast<void**>(&attributes)), E_NOINTERFACE);
    EXPECT_EQ(attributes, nullptr);
    EXPECT_EQ(control->QueryInterface(__uuidof(IKsControl), nullptr), E_POINTER);
}

void ExpectCaptureAttributes(IMFAttributes* attributes, UINT32 streamId) {
    GUID category{};
    UINT32 value = 0;
    EXPECT_EQ(attributes->GetGUID(MF_DEVICESTREAM_STREAM_CATEGORY, &category), S_OK);
    EXPECT_EQ(category, VelmoraPinNameVideoCapture);
    EXPECT_EQ(attributes->GetUINT32(MF_DEVICESTREAM_STREAM_ID, &value), S_OK);
    EXPECT_EQ(value, streamId);
    EXPECT_EQ(attributes->GetUINT32(MF_DEVICESTREAM_FRAMESERVER_SHARED, &value), S_OK);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(attributes->GetUINT32(MF_DEVICESTREAM_ATTRIBUTE_FRAMESOURCE_TYPES, &value), S_OK);
    EXPECT_EQ(value, 1u);
}

TEST(Catalogue, TwentySharedTypesWithExactlyElevenAttributes) {
    ComPtr<IMFMediaSourceEx> source = ActivateSource();
    ASSERT_TRUE(source);
    Streams streams = ReadStreams(source.Get());

    const GUID order[11] = {MF_MT_MAJOR_TYPE,         MF_MT_SUBTYPE,       MF_MT_INTERLACE_MODE,
                            MF_MT_ALL_SAMPLES_INDEPENDENT, MF_MT_FIXED_SIZE_SAMPLES, MF_MT_FRAME_SIZE,
                            MF_MT_FRAME_RATE,         MF_MT_PIXEL_ASPECT_RATIO, MF_MT_DEFAULT_STRIDE,
                            MF_MT_AVG_BITRATE,        MF_MT_SAMPLE_SIZE};
    for (int stream = 0; stream < 3; ++stream) {
        DWORD count = 0;
        EXPECT_EQ(streams.handlers[stream]->GetMediaTypeCount(&count), S_OK);
        EXPECT_EQ(count, 20u);
    }
    for (DWORD index = 0; index < 20; ++index) {
        SCOPED_TRACE("type " + std::to_string(index));
        const ExpectedType& expected = kExpected[index];
        ComPtr<IMFMediaType> types[3];
        for (int stream = 0; stream < 3; ++stream) {
            ASSERT_EQ(streams.handlers[stream]->GetMediaTypeByIndex(index, &types[stream]), S_OK);
        }
        EXPECT_EQ(types[0].Get(), types[1].Get());
        EXPECT_EQ(types[0].Get(), types[2].Get());
        IMFMediaType* type = types[0].Get();

        UINT32 attributeCount = 0;
        EXPECT_EQ(type->GetCount(&attributeCount), S_OK);
        EXPECT_EQ(attributeCount, 11u);
        for (UINT32 item = 0; item < attributeCount && item < 11; ++item) {
            GUID key{};
            EXPECT_EQ(type->GetItemByIndex(item, &key, nullptr), S_OK);
            EXPECT_EQ(key, order[item]) << "attribute position " << item;
        }

        GUID guid{};
        UINT32 u32 = 0;
        UINT64 u64 = 0;
        EXPECT_EQ(type->GetGUID(MF_MT_MAJOR_TYPE, &guid), S_OK);
        EXPECT_EQ(guid, MFMediaType_Video);
        EXPECT_EQ(type->GetGUID(MF_MT_SUBTYPE, &guid), S_OK);
        EXPECT_EQ(guid, expected.nv12 ? MFVideoFormat_NV12 : MFVideoFormat_YUY2);
        EXPECT_EQ(type->GetUINT32(MF_MT_INTERLACE_MODE, &u32), S_OK);
        EXPECT_EQ(u32, 2u);
        EXPECT_EQ(type->GetUINT32(MF_MT_ALL_SAMPLES_INDEPENDENT, &u32), S_OK);
        EXPECT_EQ(u32, 1u);
        EXPECT_EQ(type->GetUINT32(MF_MT_FIXED_SIZE_SAMPLES, &u32), S_OK);
        EXPECT_EQ(u32, 1u);
        EXPECT_EQ(type->GetUINT64(MF_MT_FRAME_SIZE, &u64), S_OK);
        EXPECT_EQ(u64, (UINT64{expected.width} << 32) | expected.height);
        EXPECT_EQ(type->GetUINT64(MF_MT_FRAME_RATE, &u64), S_OK);
        EXPECT_EQ(u64, (UINT64{expected.rate} << 32) | 1);
        EXPECT_EQ(type->GetUINT64(MF_MT_PIXEL_ASPECT_RATIO, &u64), S_OK);
        EXPECT_EQ(u64, (UINT64{1} << 32) | 1);
        EXPECT_EQ(type->GetUINT32(MF_MT_DEFAULT_STRIDE, &u32), S_OK);
        EXPECT_EQ(u32, expected.stride);
        EXPECT_EQ(type->GetUINT32(MF_MT_AVG_BITRATE, &u32), S_OK);
        EXPECT_EQ(u32, expected.bitRate);
        EXPECT_EQ(type->GetUINT32(MF_MT_SAMPLE_SIZE, &u32), S_OK);
        EXPECT_EQ(u32, expected.sampleSize);
    }

    for (int stream = 0; stream < 3; ++stream) {
        ComPtr<IMFMediaType> current;
        ComPtr<IMFMediaType> first;
        ASSERT_EQ(streams.handlers[stream]->GetCurrentMediaType(&current), S_OK);
        ASSERT_EQ(streams.handlers[stream]->GetMediaTypeByIndex(0, &first), S_OK);
        DWORD flags = 0;
        EXPECT_EQ(first->IsEqual(current.Get(), &flags), S_OK);
    }
}

TEST(Catalogue, BuildersRejectMissingArguments) {
    EXPECT_EQ(CreateNv12MediaType(640, 360, 30, nullptr), E_POINTER);
    EXPECT_EQ(CreateYuy2MediaType(640, 360, 30, nullptr), E_POINTER);
    EXPECT_EQ(SetCaptureStreamAttributes(nullptr, 0), E_INVALIDARG);
    EXPECT_EQ(CreateProfiledSourceAttributes(nullptr), E_POINTER);
}

TEST(Catalogue, StreamDescriptorsAndStreamAttributeStores) {
    ComPtr<IMFMediaSourceEx> source = ActivateSource();
    ASSERT_TRUE(source);
    Streams streams = ReadStreams(source.Get());

    IUnknown* controls[3] = {};
    for (UINT32 id = 0; id < 3; ++id) {
        SCOPED_TRACE("stream " + std::to_string(id));
        IMFStreamDescriptor* descriptor = streams.streams[id].Get();
        DWORD identifier = 99;
        EXPECT_EQ(descriptor->GetStreamIdentifier(&identifier), S_OK);
        EXPECT_EQ(identifier, id);
        ExpectCaptureAttributes(descriptor, id);
        UINT32 count = 0;
        EXPECT_EQ(descriptor->GetCount(&count), S_OK);
        EXPECT_EQ(count, 5u);  // the four device-stream attributes and the control object

        ComPtr<IKsControl> control;
        ASSERT_EQ(descriptor->GetUnknown(StreamKsControlAttribute, IID_PPV_ARGS(&control)), S_OK);
        ExpectKsRefusal(control.Get());
        controls[id] = control.Get();

        ComPtr<IMFAttributes> store;
        ComPtr<IMFAttributes> again;
        ASSERT_EQ(source->GetStreamAttributes(id, &store), S_OK);
        ASSERT_EQ(source->GetStreamAttributes(id, &again), S_OK);
        EXPECT_EQ(store.Get(), again.Get());  // the source's own store, not a copy
        EXPECT_NE(static_cast<IUnknown*>(store.Get()), static_cast<IUnknown*>(descriptor));
        ExpectCaptureAttributes(store.Get(), id);
        EXPECT_EQ(store->GetCount(&count), S_OK);
        EXPECT_EQ(count, 4u);
    }
    EXPECT_NE(controls[0], controls[1]);
    EXPECT_NE(controls[1], controls[2]);

    IMFAttributes* store = reinterpret_cast<IMFAttributes*>(0x1234);
    EXPECT_EQ(source->GetStreamAttributes(3, &store), MF_E_INVALIDSTREAMNUMBER);
    EXPECT_EQ(store, nullptr);
    EXPECT_EQ(source->GetStreamAttributes(0, nullptr), E_POINTER);
}

TEST(Catalogue, SourceAttributesHoldFiveProfilesWithThreeFiltersEach) {
    ComPtr<IMFMediaSourceEx> source = ActivateSource();
    ASSERT_TRUE(source);
    ComPtr<IMFAttributes> attributes;
    ASSERT_EQ(source->GetSourceAttributes(&attributes), S_OK);
    ComPtr<IMFAttributes> again;
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
        ASSERT_EQ(collection->GetProfile(index, &profile), S_OK);
        SENSORPROFILEID id{};
        ASSERT_EQ(profile->GetProfileId(&id), S_OK);
        EXPECT_EQ(id.Type, expectedTypes[index]);
        EXPECT_EQ(id.Index, 0u);

        ComPtr<IStandInSensorProfile> recorded;
        ASSERT_EQ(profile.As(&recorded), S_OK);
        UINT32 length = 99;
        EXPECT_EQ(recorded->GetConstraints(nullptr, 0, &length), S_FALSE);  // no constraint string
        EXPECT_EQ(length, 0u);
        UINT32 filters = 0;
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

TEST(Catalogue, PresentationDescriptorSelectsPreviewOnlyAndIsClonedPerCaller) {
    ComPtr<IMFMediaSourceEx> source = ActivateSource();
    ASSERT_TRUE(source);
    ComPtr<IMFPresentationDescriptor> first;
    ASSERT_EQ(source->CreatePresentationDescriptor(&first), S_OK);
    DWORD count = 0;
    ASSERT_EQ(first->GetStreamDescriptorCount(&count), S_OK);
    ASSERT_EQ(count, 3u);
    for (DWORD index = 0; index < 3; ++index) {
        BOOL selected = FALSE;
        ComPtr<IMFStreamDescriptor> stream;
        ASSERT_EQ(first->GetStreamDescriptorByIndex(index, &selected, &stream), S_OK);
        DWORD id = 99;
        stream->GetStreamIdentifier(&id);
        EXPECT_EQ(id, index);
        EXPECT_EQ(selected != FALSE, index == 0) << "stream " << index;
    }
    // A caller's selection stays on its own clone.
    ASSERT_EQ(first->SelectStream(2), S_OK);
    ASSERT_EQ(first->DeselectStream(0), S_OK);
    ComPtr<IMFPresentationDescriptor> second;
    ASSERT_EQ(source->CreatePresentationDescriptor(&second), S_OK);
    EXPECT_NE(first.Get(), second.Get());
    for (DWORD index = 0; index < 3; ++index) {
        BOOL selected = FALSE;
        ComPtr<IMFStreamDescriptor> stream;
        ASSERT_EQ(second->GetStreamDescriptorByIndex(index, &selected, &stream), S_OK);
        EXPECT_EQ(selected != FALSE, index == 0) << "stream " << index;
    }
}

TEST(Catalogue, ProfilesAreBuiltInOrderAndABuildFailureFailsTheActivation) {
    velmora::standin::TemporaryCallLog calls;
    {
        ComPtr<IMFMediaSourceEx> source = ActivateSource();
        ASSERT_TRUE(source);
    }
    std::vector<std::string> sequence;
    for (const auto& line : calls.Lines()) {
        if (line.name == "MFCreateSensorProfileCollection" || line.name == "MFCreateSensorProfile" ||
            line.name == "IMFSensorProfile::AddProfileFilter" || line.name == "IMFSensorProfileCollection::AddProfile") {
            std::string entry = line.name;
            if (line.name == "MFCreateSensorProfile") {
                entry += " " + line.Field("type") + " " + line.Field("index") + " " + line.Field("constraints");
            } else if (line.name == "IMFSensorProfile::AddProfileFilter") {
                entry += " " + line.Field("stream");
            }
            sequence.push_back(entry);
        }
    }
    std::vector<std::string> expected = {"MFCreateSensorProfileCollection"};
    for (const char* type : {"{B4894D81-62B7-4EEC-8740-80658C4A9D3E}", "{C5444A88-E1BF-4597-B2DD-9E1EAD864BB8}",
                             "{A0E517E8-8F8C-4F6F-9A57-46FC2F647EC0}", "{6B52B017-42C7-4A21-BFE3-23F009149887}",
                             "{32440725-961B-4CA3-B5B2-854E719D9E1B}"}) {
        expected.push_back(std::string("MFCreateSensorProfile ") + type + " 0 null");
        for (const char* stream : {"0", "1", "2"}) {
            expected.push_back(std::string("IMFSensorProfile::AddProfileFilter ") + stream);
        }
        expected.push_back("IMFSensorProfileCollection::AddProfile");
    }
    EXPECT_EQ(sequence, expected);

    // Any failing step of the build fails the activation with its own result, and the
    // half-built source is gone at once.
    const std::uint32_t before = ObjectCount.load();
    for (const wchar_t* failure :
         {L"MFCreateSensorProfile#3=0x80004005", L"IMFSensorProfile::AddProfileFilter#8=0x80004005",
          L"IMFSensorProfileCollection::AddProfile=0x80004005", L"MFCreateSensorProfileCollection=0x80004005"}) {
        velmora::standin::StandInModule(L"mfsensorgroup.dll").ResetCallCounts();
        velmora::standin::ScopedEnvironmentVariable fail(L"VELMORA_STANDIN_FAIL", failure);
        HRESULT hr = S_OK;
        ComPtr<IMFMediaSourceEx> source = ActivateSource(&hr);
        EXPECT_EQ(hr, static_cast<HRESULT>(0x80004005)) << HrText(hr);
        EXPECT_FALSE(source);
        EXPECT_EQ(ObjectCount.load(), before);
    }
}

TEST(Catalogue, SourceControlFaceRefusesLikeTheControlObjects) {
    ComPtr<IMFMediaSourceEx> source = ActivateSource();
    ASSERT_TRUE(source);
    ComPtr<IKsControl> control;
    ASSERT_EQ(source.As(&control), S_OK);
    ExpectKsRefusal(control.Get());
}

}  // namespace
