#pragma once

namespace quorlinth::platformWords {

// Where a product text names something only macOS has, this build says what the person's own
// platform calls it. One table, so the texts elsewhere stay as they are.
#if defined(__APPLE__)
inline constexpr const char* kThisComputer = "这台 Mac";
#else
inline constexpr const char* kThisComputer = "这台电脑";
#endif

} // namespace quorlinth::platformWords
