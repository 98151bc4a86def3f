#include "library/source/media_type_catalogue.h"

#include <mfapi.h>

using Microsoft::WRL::ComPtr;

namespace {

HRESULT CreateVideoMediaType(const GUID& subtype, std::uint32_t width, std::uint32_t height,
                             std::uint32_t framesPerSecond, std::uint32_t stride, std::uint32_t bitsPerPixel,
                             std::uint32_t sampleSize, IMFMediaType** mediaType) noexcept {
    if (!mediaType) {
        return E_POINTER;
    }
    *mediaType = nullptr;

    // Products in unsigned 32-bit arithmetic; the largest (1,990,656,000) fits.
    const std::uint32_t bitRate = width * height * framesPerSecond * bitsPerPixel;

    ComPtr<IMFMediaType> type;
    HRESULT hr = MFCreateMediaType(&type);
    if (SUCCEEDED(hr)) hr = type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    if (SUCCEEDED(hr)) hr = type->SetGUID(MF_MT_SUBTYPE, subtype);
    if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);
    if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_ALL_SAMPLES_INDEPENDENT, 1);
    if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_FIXED_SIZE_SAMPLES, 1);
    if (SUCCEEDED(hr)) hr = type->SetUINT64(MF_MT_FRAME_SIZE, (std::uint64_t{width} << 32) | height);
    if (SUCCEEDED(hr)) hr = type->SetUINT64(MF_MT_FRAME_RATE, (std::uint64_t{framesPerSecond} << 32) | 1);
    if (SUCCEEDED(hr)) hr = type->SetUINT64(MF_MT_PIXEL_ASPECT_RATIO, (std::uint64_t{1} << 32) | 1);
    if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_DEFAULT_STRIDE, stride);
    if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_AVG_BITRATE, bitRate);
    if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_SAMPLE_SIZE, sampleSize);
    if (FAILED(hr)) {
        return hr;
    }
    *mediaType = type.Detach();
    return S_OK;
}

}  // namespace

HRESULT CreateNv12MediaType(std::uint32_t width, std::uint32_t height, std::uint32_t framesPerSecond,
                            IMFMediaType** mediaType) noexcept {
    return CreateVideoMediaType(MFVideoFormat_NV12, width, height, framesPerSecond, width, 12,
                                width * height * 3 / 2, mediaType);
}

HRESULT CreateYuy2MediaType(std::uint32_t width, std::uint32_t height, std::uint32_t framesPerSecond,
                            IMFMediaType** mediaType) noexcept {
    return CreateVideoMediaType(MFVideoFormat_YUY2, width, height, framesPerSecond, 2 * width, 16,
                                width * height * 2, mediaType);
}

HRESULT CreateCatalogueMediaTypes(std::array<ComPtr<IMFMediaType>, kCatalogueSize>& types) noexcept {
    for (std::uint32_t index = 0; index < kCatalogueSize; ++index) {
        const CatalogueEntry& entry = MediaTypeCatalogue[index];
        types[index].Reset();
        const HRESULT hr =
            entry.subtype == CatalogueSubtype::Nv12
                ? CreateNv12MediaType(entry.width, entry.height, entry.framesPerSecond, &types[index])
                : CreateYuy2MediaType(entry.width, entry.height, entry.framesPerSecond, &types[index]);
        if (FAILED(hr)) {
            return hr;
        }
    }
    return S_OK;
}

HRESULT SetCaptureStreamAttributes(IMFAttributes* attributes, std::uint32_t streamId) noexcept {
    if (!attributes) {
        return E_INVALIDARG;
    }
    HRESULT hr = attributes->SetGUID(MF_DEVICESTREAM_STREAM_CATEGORY, VelmoraPinNameVideoCapture);
    if (SUCCEEDED(hr)) hr = attributes->SetUINT32(MF_DEVICESTREAM_STREAM_ID, streamId);
    if (SUCCEEDED(hr)) hr = attributes->SetUINT32(MF_DEVICESTREAM_FRAMESERVER_SHARED, 1);
    if (SUCCEEDED(hr)) hr = attributes->SetUINT32(MF_DEVICESTREAM_ATTRIBUTE_FRAMESOURCE_TYPES,
                                                  MFFrameSourceTypes_Color);
    return hr;
}

HRESULT CreateProfiledSourceAttributes(IMFAttributes** attributes) noexcept {
    if (!attributes) {
        return E_POINTER;
    }
    *attributes = nullptr;

    ComPtr<IMFAttributes> store;
    HRESULT hr = MFCreateAttributes(&store, 8);
    if (FAILED(hr)) {
        return hr;
    }
    ComPtr<IMFSensorProfileCollection> collection;
    hr = MFCreateSensorProfileCollection(&collection);
    if (SUCCEEDED(hr) && !collection) {
        hr = E_POINTER;
    }
    if (FAILED(hr)) {
        return hr;
    }
    for (const GUID* profileType : kSensorProfileTypes) {
        ComPtr<IMFSensorProfile> profile;
        hr = MFCreateSensorProfile(*profileType, 0, nullptr, &profile);
        if (SUCCEEDED(hr) && !profile) {
            hr = E_POINTER;
        }
        for (std::uint32_t streamId = 0; SUCCEEDED(hr) && streamId < kStreamCount; ++streamId) {
            hr = profile->AddProfileFilter(streamId, kSensorProfileFilter);
        }
        if (SUCCEEDED(hr)) {
            hr = collection->AddProfile(profile.Get());
        }
        if (FAILED(hr)) {
            return hr;
        }
    }
    hr = store->SetUnknown(MF_DEVICEMFT_SENSORPROFILE_COLLECTION, collection.Get());
    if (FAILED(hr)) {
        return hr;
    }
    *attributes = store.Detach();
    return S_OK;
}
