// Library-wide counts that decide when COM may unload the library.
#pragma once

#include <atomic>
#include <cstdint>

// Live COM objects of the library (factories, activation objects, sources, streams,
// control objects); changed only atomically.
extern std::atomic<std::uint32_t> ObjectCount;

// IClassFactory::LockServer locks.
extern std::atomic<std::uint32_t> LockCount;
