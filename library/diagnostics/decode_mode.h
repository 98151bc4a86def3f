// The optional decode-mode setting, C:\ProgramData\Velmora\decode_mode.txt. Read anew at
// every query so that a change takes effect without a restart. A link in place of the file
// or its folder is not read (the default mode holds).
#pragma once

// True when the first line (its first 31 UTF-16 units) contains "gpu", any case.
bool DecodeModeRequestsGpu() noexcept;

// True when the first line (its first 63 UTF-16 units) contains "direct", any case.
bool DecodeModeRequestsDirect() noexcept;
