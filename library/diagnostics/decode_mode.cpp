#include "library/diagnostics/decode_mode.h"

#include <windows.h>

#include <string_view>

#include "library/diagnostics/data_file.h"
#include "library/diagnostics/text_encoding.h"

namespace {

// Line read counts: 31 units are searched for "gpu", 63 for "direct".
constexpr std::size_t kGpuLineUnits = 32;
constexpr std::size_t kDirectLineUnits = 64;

// Reads the setting's first bytes anew (no caching: an edit counts from the next query)
// and searches its first line. A missing, locked, linked or unreadable file answers false.
// Shared with writers and deleters too, so an editor holding the file open never turns
// the mode back to the default.
bool SettingFirstLineContains(std::size_t lineUnits, std::string_view word) noexcept {
    const velmora::DataFilePath path(velmora::kDecodeModeFileName);
    velmora::UniqueFileHandle file = velmora::OpenDataFile(
        path.text, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, false);
    if (!file) {
        return false;
    }
    unsigned char bytes[velmora::SettingBytesNeeded(kDirectLineUnits)];
    DWORD size = 0;
    while (size < sizeof bytes) {
        DWORD got = 0;
        if (!ReadFile(file.Get(), bytes + size, static_cast<DWORD>(sizeof bytes - size), &got,
                      nullptr) ||
            got == 0) {
            break;
        }
        size += got;
    }
    file.Reset();
    return velmora::FirstLineContains(bytes, size, lineUnits, word);
}

}  // namespace

bool DecodeModeRequestsGpu() noexcept {
    return SettingFirstLineContains(kGpuLineUnits, "gpu");
}

bool DecodeModeRequestsDirect() noexcept {
    return SettingFirstLineContains(kDirectLineUnits, "direct");
}
