#include "app/cli/PngFile.h"

#include <cstdio>
#include <memory>
#include <png.h>
#include <vector>

namespace quorlinth::cli {

namespace {

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};

Result<void> encode(FILE* file, const uint8_t* bgra, int width, int height, int stride) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return Error{"cannot start the PNG encoder"};
    }
    std::vector<uint8_t> row(size_t(width) * 3);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return Error{"the PNG encoder failed"};
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < height; ++y) {
        const uint8_t* source = bgra + size_t(y) * stride;
        for (int x = 0; x < width; ++x) {
            row[x * 3] = source[x * 4 + 2];
            row[x * 3 + 1] = source[x * 4 + 1];
            row[x * 3 + 2] = source[x * 4];
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return {};
}

} // namespace

Result<void> writePng(const std::filesystem::path& path, const uint8_t* bgra, int width, int height,
                      int stride) {
    if (!bgra || width <= 0 || height <= 0 || stride < width * 4) return Error{"no picture to save"};
    std::filesystem::path partial = path;
    partial += ".partial";
    std::unique_ptr<FILE, FileCloser> file(std::fopen(partial.c_str(), "wb"));
    if (!file) return Error{"cannot write " + partial.string()};
    auto written = encode(file.get(), bgra, width, height, stride);
    if (!written || std::fflush(file.get()) != 0) {
        file.reset();
        std::filesystem::remove(partial);
        return written ? Error{"cannot write " + path.string()} : written;
    }
    file.reset();
    std::error_code renamed;
    std::filesystem::rename(partial, path, renamed);
    if (renamed) return Error{"cannot write " + path.string() + ": " + renamed.message()};
    return {};
}

} // namespace quorlinth::cli
