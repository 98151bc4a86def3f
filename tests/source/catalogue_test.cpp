// The fixed camera description as the camera service reads it: media types, stream and
// source attribute stores, sensor profiles (read back through the stand-in's test face),
// the presentation descriptor and the control objects.
#include "tests/source/source_test_support.h"

#include <ks.h>

#include "common/sdk_additions.h"
#include "library/com/object_count.h"
#include "library/source/media_type_catalogue.h"
#include "tests/standins/mfsensorgroup/standin_control.h"
#include "tests/standins/mfsensorgroup/standin_sensor_profile.h"

namespace {

using namespace velmora::test;

ComPtr<IMFStreamDescriptor> StreamAt(IMFPresentationDescriptor* descriptor, DWORD index, BOOL* selected = nullptr) {
    ComPtr<IMFStreamDescriptor> stream;
    BOOL ignored = FALSE;
    EXPECT_EQ(descriptor->GetStreamDescriptorByIndex(index, selected ? selected : &ignored, &stream), S_OK);
    return stream;
}

// Every kernel-streaming call is refused with ERROR_SET_NOT_FOUND and nothing returned.
void ExpectKsRefusal(IKsControl* control) {
    KSPROPERTY property{};
    ULONG returned[3] = {7, 7, 7};
    const HRESULT refused = static_cast<HRESULT>(0x80070032);
    EXPECT_EQ(control->KsProperty(&property, sizeof property, nullptr, 0, &returned[0]), refused);
    EXPECT_EQ(control->KsProperty(&property, sizeof property, nullptr, 0, nullptr), refused);
    EXPECT_EQ(control->KsMethod(nullptr, 0, nullptr, 0, &returned[1]), refused);
    EXPECT_EQ(control->KsEvent(nullptr, 0, nullptr, 0, &returned[2]), refused);
    EXPECT_EQ(std::vector<ULONG>(returned, returned + 3), std::vector<ULONG>(3, 0));
    void* attributes = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(control->QueryInterface(__uuidof(IMFAttributes), &attributes), E_NOINTERFACE);
    EXPECT_EQ(attributes, nullptr);
}

// The store holds the four device-stream attributes (and `extra` more items).
void ExpectCaptureAttributes(IMFAttributes* attributes, UINT32 streamId, UINT32 extra) {
    GUID category{};
    UINT32 values[4] = {99, 0, 0, 0};
    EXPECT_EQ(attributes->GetGUID(MF_DEVICESTREAM_STREAM_CATEGORY, &category), S_OK);
    EXPECT_EQ(attributes->GetUINT32(MF_DEVICESTREAM_STREAM_ID, &values[0]), S_OK);
    EXPECT_EQ(attributes->GetUINT32(MF_DEVICESTREAM_FRAMESERVER_SHARED, &values[1]), S_OK);
    EXPECT_EQ(attributes->GetUINT32(MF_DEVICESTREAM_ATTRIBUTE_FRAMESOURCE_TYPES, &values[2]), S_OK);
    EXPECT_EQ(attributes->GetCount(&values[3]), S_OK);
    EXPECT_EQ(category, VelmoraPinNameVideoCapture);
    EXPECT_EQ(std::vector<UINT32>(values, values + 4), std::vector<UINT32>({streamId, 1, 1, 4 + extra}));
}

// Types run through the rates, then the sizes, NV12 before YUY2; each carries eleven
// attributes in a fixed order, the derived ones computed here from their formulas.
TEST(Catalogue, TwentySharedTypesWithElevenAttributesInOrder) {
    ComPtr<IMFMediaSourceEx> source = ActivateSource();
    ASSERT_TRUE(source);
    ComPtr<IMFPresentationDescriptor> descriptor = Selecting(source.Get(), {0});
    ComPtr<IMFMediaTypeHandler> handlers[3];
    for (DWORD stream = 0; stream < 3; ++stream) {
        ASSERT_EQ(StreamAt(descriptor.Get(), stream)->GetMediaTypeHandler(&handlers[stream]), S_OK);
        ComPtr<IMFMediaType> current, first;
        DWORD count = 0, flags = 0;
        EXPECT_EQ(handlers[stream]->GetMediaTypeCount(&count), S_OK);
        EXPECT_EQ(count, 20u);
        ASSERT_EQ(handlers[stream]->GetCurrentMediaType(&current), S_OK);  // every stream starts on the first
        ASSERT_EQ(handlers[stream]->GetMediaTypeByIndex(0, &first), S_OK);
        EXPECT_EQ(first->IsEqual(current.Get(), &flags), S_OK);
    }
    const UINT32 widths[5] = {640, 640, 960, 1280, 1920}, heights[5] = {360, 480, 540, 720, 1080};
    const UINT32 rates[2] = {30, 60};
    for (DWORD index = 0; index < 20; ++index) {
        SCOPED_TRACE("type " + std::to_string(index));
        const bool nv12 = index % 2 == 0;
        const UINT64 width = widths[index % 10 / 2], height = heights[index % 10 / 2], rate = rates[index / 10];
        const UINT64 sampleSize = nv12 ? width * height * 3 / 2 : width * height * 2;
        ComPtr<IMFMediaType> types[3];
        for (int stream = 0; stream < 3; ++stream) {
            ASSERT_EQ(handlers[stream]->GetMediaTypeByIndex(index, &types[stream]), S_OK);
        }
        // One object behind all three streams.
        EXPECT_TRUE(types[0].Get() == types[1].Get() && types[0].Get() == types[2].Get());
        const struct {
            GUID key;
            VARTYPE type;
            UINT64 number;
            const GUID* guid;
        } expected[11] = {
            {MF_MT_MAJOR_TYPE, VT_CLSID, 0, &MFMediaType_Video},
            {MF_MT_SUBTYPE, VT_CLSID, 0, nv12 ? &MFVideoFormat_NV12 : &MFVideoFormat_YUY2},
            {MF_MT_INTERLACE_MODE, VT_UI4, 2, nullptr}, {MF_MT_ALL_SAMPLES_INDEPENDENT, VT_UI4, 1, nullptr},
            {MF_MT_FIXED_SIZE_SAMPLES, VT_UI4, 1, nullptr}, {MF_MT_FRAME_SIZE, VT_UI8, width << 32 | height, nullptr},
            {MF_MT_FRAME_RATE, VT_UI8, rate << 32 | 1, nullptr},
            {MF_MT_PIXEL_ASPECT_RATIO, VT_UI8, 1ull << 32 | 1, nullptr},
            {MF_MT_DEFAULT_STRIDE, VT_UI4, nv12 ? width : 2 * width, nullptr},
            {MF_MT_AVG_BITRATE, VT_UI4, sampleSize * 8 * rate, nullptr},
            {MF_MT_SAMPLE_SIZE, VT_UI4, sampleSize, nullptr},
        };
        UINT32 count = 0;
        EXPECT_EQ(types[0]->GetCount(&count), S_OK);
        ASSERT_EQ(count, 11u);
        for (UINT32 item = 0; item < 11; ++item) {
            GUID key{};
            PROPVARIANT value;
            PropVariantInit(&value);
            ASSERT_EQ(types[0]->GetItemByIndex(item, &key, &value), S_OK);
            EXPECT_TRUE(key == expected[item].key && value.vt == expected[item].type) << "position " << item;
            if (value.vt == VT_CLSID) {
                EXPECT_EQ(*value.puuid, *expected[item].guid) << "position " << item;
            } else {
                EXPECT_EQ(value.vt == VT_UI8 ? value.uhVal.QuadPart : value.ulVal, expected[item].number) << item;
            }
            PropVariantClear(&value);
        }
    }
    EXPECT_EQ(CreateNv12MediaType(640, 360, 30, nullptr), E_POINTER);
    EXPECT_EQ(SetCaptureStreamAttributes(nullptr, 0), E_INVALIDARG);
}

TEST(Catalogue, StreamDescriptorsStoresProfilesAndControlObjects) {
    ComPtr<IMFMediaSourceEx> source = ActivateSource();
    ASSERT_TRUE(source);
    ComPtr<IMFPresentationDescriptor> descriptor, second;
    ASSERT_EQ(source->CreatePresentationDescriptor(&descriptor), S_OK);
    DWORD count = 0;
    EXPECT_EQ(descriptor->GetStreamDescriptorCount(&count), S_OK);
    EXPECT_EQ(count, 3u);
    IUnknown* controls[3] = {};
    for (UINT32 id = 0; id < 3; ++id) {
        SCOPED_TRACE("stream " + std::to_string(id));
        BOOL selected = FALSE;
        DWORD identifier = 99;
        ComPtr<IMFStreamDescriptor> stream = StreamAt(descriptor.Get(), id, &selected);
        EXPECT_EQ(stream->GetStreamIdentifier(&identifier), S_OK);
        EXPECT_TRUE(identifier == id && (selected != FALSE) == (id == 0));  // only stream 0 preselected
        ExpectCaptureAttributes(stream.Get(), id, 1);  // and the control object
        ComPtr<IKsControl> control;
        ASSERT_EQ(stream->GetUnknown(StreamKsControlAttribute, IID_PPV_ARGS(&control)), S_OK);
        ExpectKsRefusal(control.Get());
        controls[id] = control.Get();

        ComPtr<IMFAttributes> store, again;
        ASSERT_EQ(source->GetStreamAttributes(id, &store), S_OK);
        ASSERT_EQ(source->GetStreamAttributes(id, &again), S_OK);
        EXPECT_EQ(store.Get(), again.Get());  // the source's own store, not a copy
        EXPECT_NE(static_cast<IUnknown*>(store.Get()), static_cast<IUnknown*>(stream.Get()));
        ExpectCaptureAttributes(store.Get(), id, 0);
    }
    EXPECT_TRUE(controls[0] != controls[1] && controls[1] != controls[2] && controls[0] != controls[2]);
    IMFAttributes* store = reinterpret_cast<IMFAttributes*>(0x1234);
    EXPECT_EQ(source->GetStreamAttributes(3, &store), MF_E_INVALIDSTREAMNUMBER);
    EXPECT_EQ(store, nullptr);

    // A caller's selection stays on its own clone.
    ASSERT_EQ(descriptor->SelectStream(2), S_OK);
    ASSERT_EQ(descriptor->DeselectStream(0), S_OK);
    ASSERT_EQ(source->CreatePresentationDescriptor(&second), S_OK);
    BOOL selected[3] = {};
    for (DWORD index = 0; index < 3; ++index) {
        StreamAt(second.Get(), index, &selected[index]);
    }
    EXPECT_NE(descriptor.Get(), second.Get());
    EXPECT_EQ(std::vector<BOOL>(selected, selected + 3), std::vector<BOOL>({TRUE, FALSE, FALSE}));
    ComPtr<IKsControl> face;
    ASSERT_EQ(source.As(&face), S_OK);
    ExpectKsRefusal(face.Get());

    // Source attributes: the control object and five profiles of three filters, one per stream.
    ComPtr<IMFAttributes> attributes, again;
    ASSERT_EQ(source->GetSourceAttributes(&attributes), S_OK);
    ASSERT_EQ(source->GetSourceAttributes(&again), S_OK);
    EXPECT_EQ(attributes.Get(), again.Get());
    UINT32 items = 0;
    EXPECT_EQ(attributes->GetCount(&items), S_OK);
    EXPECT_EQ(items, 2u);
    ComPtr<IKsControl> control;
    ASSERT_EQ(attributes->GetUnknown(SourceKsControlAttribute, IID_PPV_ARGS(&control)), S_OK);
    ExpectKsRefusal(control.Get());
    ComPtr<IMFSensorProfileCollection> collection;
    ASSERT_EQ(attributes->GetUnknown(MF_DEVICEMFT_SENSORPROFILE_COLLECTION, IID_PPV_ARGS(&collection)), S_OK);
    ASSERT_EQ(collection->GetProfileCount(), 5u);
    const GUID profileTypes[5] = {KSCAMERAPROFILE_Legacy, KSCAMERAPROFILE_VideoConferencing,
                                  KSCAMERAPROFILE_VideoRecording, KSCAMERAPROFILE_BalancedVideoAndPhoto,
                                  KSCAMERAPROFILE_HighQualityPhoto};
    for (DWORD index = 0; index < 5; ++index) {
        SCOPED_TRACE("profile " + std::to_string(index));
        ComPtr<IMFSensorProfile> profile;
        ComPtr<IStandInSensorProfile> recorded;
        SENSORPROFILEID id{};
        UINT32 length = 99, filters = 0;
        ASSERT_EQ(collection->GetProfile(index, &profile), S_OK);
        ASSERT_EQ(profile->GetProfileId(&id), S_OK);
        EXPECT_TRUE(id.Type == profileTypes[index] && id.Index == 0);
        ASSERT_EQ(profile.As(&recorded), S_OK);
        EXPECT_EQ(recorded->GetConstraints(nullptr, 0, &length), S_FALSE);  // no constraint string
        ASSERT_EQ(recorded->GetFilterCount(&filters), S_OK);
        ASSERT_EQ(filters, 3u);
        for (UINT32 filter = 0; filter < 3; ++filter) {
            UINT32 streamId = 99;
            std::wstring text;
            ASSERT_EQ(StandInGetFilter(recorded.Get(), filter, &streamId, &text), S_OK);
            EXPECT_TRUE(streamId == filter && text == L"((RES==;FRT<=30,1;SUT==))") << filter;
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
