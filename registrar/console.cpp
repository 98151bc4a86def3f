// Console output, the failure report and the usage text.
//
// Everything is written straight to the standard handles, unbuffered, so fixed and path
// messages keep their order and "\n" stays one byte when the output is redirected.
// Paths go to a console as UTF-16 (WriteConsoleW) and to a file or pipe as UTF-8: the C
// runtime's wide streams would drop or garble characters outside the default code page,
// such as Korean user names in a path.
#include <cstdio>
#include <string>

#include "registrar/registrar.h"

namespace velmora {
namespace {

HANDLE StreamHandle(ConsoleStream stream) {
    HANDLE handle = GetStdHandle(stream == ConsoleStream::Output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

void WriteBytes(HANDLE handle, const char* data, size_t size) {
    while (size > 0) {
        DWORD written = 0;
        const DWORD chunk = size > 65536 ? 65536 : static_cast<DWORD>(size);
        if (!WriteFile(handle, data, chunk, &written, nullptr) || written == 0) {
            return;
        }
        data += written;
        size -= written;
    }
}

std::string ToUtf8(std::wstring_view text) {
    if (text.empty()) {
        return {};
    }
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string utf8(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), length, nullptr,
                            nullptr);
    }
    return utf8;
}

}  // namespace

void WriteText(ConsoleStream stream, std::string_view utf8) {
    if (HANDLE handle = StreamHandle(stream)) {
        WriteBytes(handle, utf8.data(), utf8.size());
    }
}

void WriteWideText(ConsoleStream stream, std::wstring_view text) {
    HANDLE handle = StreamHandle(stream);
    if (handle == nullptr) {
        return;
    }
    DWORD mode = 0;
    if (GetConsoleMode(handle, &mode)) {
        while (!text.empty()) {
            DWORD written = 0;
            const DWORD chunk = text.size() > 8192 ? 8192 : static_cast<DWORD>(text.size());
            if (!WriteConsoleW(handle, text.data(), chunk, &written, nullptr) || written == 0) {
                return;
            }
            text.remove_prefix(written);
        }
        return;
    }
    const std::string utf8 = ToUtf8(text);
    WriteBytes(handle, utf8.data(), utf8.size());
}

bool ReportFailure(HRESULT result, std::wstring_view callName) {
    if (result >= 0) {
        return false;
    }
    char code[16];
    std::snprintf(code, sizeof(code), "0x%08X", static_cast<unsigned int>(result));
    std::string report = "작업 실패: ";
    report += code;
    report += "\n실패 위치: ";
    for (wchar_t unit : callName) {
        report += static_cast<char>(unit & 0xFF);  // call names are plain ASCII
    }
    report += "\n";
    if (static_cast<unsigned int>(result) == 0x80070005u) {
        report +=
            "접근이 거부되었습니다. 아래 항목을 확인하세요:\n"
            "  1. 관리자 PowerShell에서 실행했는지 확인하세요.\n"
            "  2. Windows 설정 > 개인정보 및 보안 > 카메라에서 아래 항목을 켜세요:\n"
            "     - 카메라 액세스\n"
            "     - 앱에서 카메라에 액세스하도록 허용\n"
            "     - 데스크톱 앱에서 카메라에 액세스하도록 허용\n"
            "  3. register_source_machine.ps1로 VelmoraSource.dll을 HKLM에 등록하세요.\n"
            "  4. register-system은 현재 사용자용 영구 등록입니다. 모든 사용자용은 register-all-users입니다.\n";
    }
    WriteText(ConsoleStream::Error, report);
    return true;
}

void PrintUsage() {
    WriteText(ConsoleStream::Output,
              "VelmoraRegistrar\n\n"
              "사용법:\n"
              "  VelmoraRegistrar.exe status\n"
              "  VelmoraRegistrar.exe install-system\n"
              "  VelmoraRegistrar.exe install-all-users\n"
              "  VelmoraRegistrar.exe uninstall-system\n"
              "  VelmoraRegistrar.exe register-user\n"
              "  VelmoraRegistrar.exe register-system\n"
              "  VelmoraRegistrar.exe register-all-users\n"
              "  VelmoraRegistrar.exe remove-user\n"
              "  VelmoraRegistrar.exe remove-system\n"
              "  VelmoraRegistrar.exe remove-all-users\n"
              "  VelmoraRegistrar.exe remove-all\n\n"
              "메모:\n"
              "  register-system/remove-system/register-all-users는 관리자 PowerShell에서 실행해야 합니다.\n"
              "  VelmoraSource.dll이 등록되어 있어야 가상 카메라가 동작합니다.\n");
}

}  // namespace velmora
