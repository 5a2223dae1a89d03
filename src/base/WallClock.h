#pragma once

#include <chrono>

namespace quorlinth {

// The wall clock in seconds since 1970, with fractions: what rate samples are stamped with.
inline double secondsSince1970() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

} // namespace quorlinth
