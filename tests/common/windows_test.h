// What the Windows test programs share: the platform's and Media Foundation's headers, COM
// pointers, Google Test and the library's files as tests read and set them.
#pragma once

#include <windows.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/common/library_log.h"

using Microsoft::WRL::ComPtr;
