// The library's diagnostic log, C:\ProgramData\Velmora\source.log: one line per call,
// "YYYY-MM-DD hh:mm:ss message", CRLF, UTF-8 with a byte-order mark when created here.
// A line that cannot be written (log held open elsewhere, no rights, a link in place of the
// log or its folder) is dropped silently. A log of 10,485,760 bytes or more is first moved
// to source.old.log (replacing an older one), and a new log begins.
#pragma once

#include <cstddef>

// Writes one line. Never blocks on another writer and never fails visibly. A lone
// surrogate is written as U+FFFD; a null message writes nothing.
void LogMessage(const wchar_t* message) noexcept;

// printf-style formatting into a buffer of `capacity` UTF-16 units (terminator included);
// "%s" takes a wide string. Longer output is cut to capacity - 1 units and logged cut.
// A null format or a capacity of 0 writes nothing.
void LogFormatted(std::size_t capacity, const wchar_t* format, ...) noexcept;
