// The fixed camera description: twenty uncompressed video formats offered on each of
// the three streams, the device-stream attributes and the source's sensor profiles.
#pragma once

#include <windows.h>
#include <mfidl.h>
#include <wrl/client.h>

#include <array>
#include <cstdint>

#include "common/sdk_additions.h"

enum class CatalogueSubtype : std::uint32_t { Nv12, Yuy2 };

struct CatalogueEntry {
    CatalogueSubtype subtype;
    std::uint32_t width;
    std::uint32_t height;
    std::uint32_t framesPerSecond;
};

inline constexpr std::uint32_t kCatalogueSize = 20;
inline constexpr std::uint32_t kStreamCount = 3;

// Five sizes ascending, each as NV12 then YUY2; the run of ten at 30, then at 60
// frames per second. Index order is the order the stream descriptors offer.
inline constexpr std::array<CatalogueEntry, kCatalogueSize> MediaTypeCatalogue = [] {
    constexpr std::uint32_t sizes[5][2] = {{640, 360}, {640, 480}, {960, 540}, {1280, 720}, {1920, 1080}};
    std::array<CatalogueEntry, kCatalogueSize> entries{};
    std::uint32_t index = 0;
    for (std::uint32_t rate : {30u, 60u}) {
        for (const auto& size : sizes) {
            entries[index++] = {CatalogueSubtype::Nv12, size[0], size[1], rate};
            entries[index++] = {CatalogueSubtype::Yuy2, size[0], size[1], rate};
        }
    }
    return entries;
}();

// Stream names by identifier; they appear only in log lines.
inline constexpr const wchar_t* kStreamNames[kStreamCount] = {L"Preview", L"Capture", L"Photo"};

// The filter every sensor profile carries on each stream: rates up to 30/1.
inline constexpr wchar_t kSensorProfileFilter[] = L"((RES==;FRT<=30,1;SUT==))";

// The five sensor profiles, in the order they are added to the collection.
inline constexpr const GUID* kSensorProfileTypes[5] = {
    &KSCAMERAPROFILE_Legacy, &KSCAMERAPROFILE_VideoConferencing, &KSCAMERAPROFILE_VideoRecording,
    &KSCAMERAPROFILE_BalancedVideoAndPhoto, &KSCAMERAPROFILE_HighQualityPhoto};

// A new media type with the eleven attributes of the NV12 (or YUY2) column; the caller
// receives the only reference. On failure *mediaType stays null.
HRESULT CreateNv12MediaType(std::uint32_t width, std::uint32_t height, std::uint32_t framesPerSecond,
                            IMFMediaType** mediaType) noexcept;
HRESULT CreateYuy2MediaType(std::uint32_t width, std::uint32_t height, std::uint32_t framesPerSecond,
                            IMFMediaType** mediaType) noexcept;

// Builds the twenty catalogue types in index order.
HRESULT CreateCatalogueMediaTypes(std::array<Microsoft::WRL::ComPtr<IMFMediaType>, kCatalogueSize>& types) noexcept;

// Writes the four device-stream attributes with the stream identifier.
HRESULT SetCaptureStreamAttributes(IMFAttributes* attributes, std::uint32_t streamId) noexcept;

// The source attribute store holding the sensor profile collection.
HRESULT CreateProfiledSourceAttributes(IMFAttributes** attributes) noexcept;
