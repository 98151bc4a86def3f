#include "library/com/object_count.h"

std::atomic<std::uint32_t> ObjectCount{0};
std::atomic<std::uint32_t> LockCount{0};
