#pragma once

#include "base/Result.h"

#include <cstdint>
#include <filesystem>

namespace quorlinth::cli {

// Writes a BGRA picture (rows of `stride` bytes) as an 8-bit RGB PNG, atomically.
Result<void> writePng(const std::filesystem::path& path, const uint8_t* bgra, int width, int height,
                      int stride);

} // namespace quorlinth::cli
