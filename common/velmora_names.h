// Names and identifiers that the source library and the registrar must agree on.
// Kept free of Windows headers so that host-side code can use it too.
#pragma once

#include <cstdint>

namespace velmora {

// {5D1E3B7A-2C94-4F60-A8B1-0E6F9C2D4B83}: the media source's COM class, also the
// virtual camera's source identifier.
struct ClassIdParts {
    std::uint32_t data1;
    std::uint16_t data2;
    std::uint16_t data3;
    std::uint8_t data4[8];
};
inline constexpr ClassIdParts kSourceClassIdParts{
    0x5D1E3B7A, 0x2C94, 0x4F60, {0xA8, 0xB1, 0x0E, 0x6F, 0x9C, 0x2D, 0x4B, 0x83}};

inline constexpr wchar_t kSourceClassIdString[] = L"{5D1E3B7A-2C94-4F60-A8B1-0E6F9C2D4B83}";
inline constexpr wchar_t kSourceClassName[] = L"Nivra Media Source";
inline constexpr wchar_t kCameraName[] = L"Nivra";
inline constexpr wchar_t kLegacyCameraName[] = L"Vel Mora";
inline constexpr wchar_t kSourceLibraryFileName[] = L"VelmoraSource.dll";
inline constexpr wchar_t kDataDirectory[] = L"C:\\ProgramData\\Velmora";
inline constexpr wchar_t kLogFileName[] = L"source.log";
inline constexpr wchar_t kDecodeModeFileName[] = L"decode_mode.txt";
inline constexpr wchar_t kClassKeyPath[] =
    L"Software\\Classes\\CLSID\\{5D1E3B7A-2C94-4F60-A8B1-0E6F9C2D4B83}";

}  // namespace velmora

#ifdef _WIN32
#include <guiddef.h>
namespace velmora {
// The same class identifier as a GUID; DEFINE_GUID-free so every unit can use it.
inline constexpr GUID kSourceClassId{
    0x5D1E3B7A, 0x2C94, 0x4F60, {0xA8, 0xB1, 0x0E, 0x6F, 0x9C, 0x2D, 0x4B, 0x83}};
}  // namespace velmora
#endif
