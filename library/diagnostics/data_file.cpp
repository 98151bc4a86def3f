#include "library/diagnostics/data_file.h"

namespace velmora {

bool IsPlainAt(HANDLE handle, const wchar_t* path, bool directory) noexcept {
    // GetFileInformationByHandle would tell the same, but it also asks for the volume's
    // serial number, which costs milliseconds under Wine; the setting is read per frame.
    FILE_STANDARD_INFO standard{};
    FILE_ATTRIBUTE_TAG_INFO attributes{};
    if (!GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard) ||
        !GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &attributes, sizeof attributes)) {
        return false;
    }
    if ((standard.Directory != FALSE) != directory || (attributes.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        (!directory && standard.NumberOfLinks > 1)) {
        return false;
    }
    wchar_t finalPath[MAX_PATH + 8];
    const DWORD length = GetFinalPathNameByHandleW(handle, finalPath, MAX_PATH + 8, FILE_NAME_NORMALIZED);
    if (length == 0 || length >= MAX_PATH + 8) {
        return false;
    }
    // "\\?\C:\..." for a local volume; any other form (a share, a volume name) differs.
    const wchar_t* name = finalPath;
    if (std::wcsncmp(name, L"\\\\?\\", 4) == 0) {
        name += 4;
    }
    return CompareStringOrdinal(name, -1, path, -1, TRUE) == CSTR_EQUAL;
}

UniqueFileHandle OpenDataFile(const wchar_t* path, DWORD access, DWORD share, bool create) noexcept {
    constexpr DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
    access |= FILE_READ_ATTRIBUTES;
    UniqueFileHandle file(CreateFileW(path, access, share, nullptr, OPEN_EXISTING, flags, nullptr));
    if (!file && create && GetLastError() == ERROR_FILE_NOT_FOUND) {
        // Created only in the checked directory, held until the file is created in it.
        const UniqueFileHandle directory = OpenDataDirectory();
        if (directory) {
            file = UniqueFileHandle(CreateFileW(path, access, share, nullptr, CREATE_NEW, flags, nullptr));
        }
    }
    if (file && !IsPlainAt(file.Get(), path, false)) {
        file.Reset();
    }
    return file;
}

UniqueFileHandle OpenDataDirectory() noexcept {
    // Reading access, so that the sharing rules apply to the handle at all.
    UniqueFileHandle directory(CreateFileW(kDataDirectory, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (directory && !IsPlainAt(directory.Get(), kDataDirectory, true)) {
        directory.Reset();
    }
    return directory;
}

}  // namespace velmora
