#pragma once

#include <windows.h>

// The library's own module handle, stored at process attach.
HMODULE LibraryModuleHandle() noexcept;
