#include "capture/MacVirtualDisplay.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <unistd.h>

namespace quorlinth {

namespace {

constexpr double kPointsPerInch = 110;
constexpr double kMillimetresPerInch = 25.4;

std::optional<int64_t> decimal(const std::string& text) {
    int64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

void waitForEndOfInput(int input) {
    char chunk[256];
    for (;;) {
        ssize_t got = read(input, chunk, sizeof chunk);
        if (got == 0) return;
        if (got < 0 && errno != EINTR) return;
    }
}

} // namespace

VirtualDisplayDescriptor MacVirtualDisplay::descriptor(int64_t width, int64_t height, bool hiDPI,
                                                       uint32_t serial) {
    int64_t factor = hiDPI ? 2 : 1;
    VirtualDisplayDescriptor descriptor;
    descriptor.name = kName;
    descriptor.maxPixelsWide = std::max<int64_t>(width * factor, 3840);
    descriptor.maxPixelsHigh = std::max<int64_t>(height * factor, 2400);
    descriptor.widthMillimetres = double(width) / kPointsPerInch * kMillimetresPerInch;
    descriptor.heightMillimetres = double(height) / kPointsPerInch * kMillimetresPerInch;
    descriptor.vendorID = kVendorID;
    descriptor.productID = kProductID;
    descriptor.serialNumber = serial;
    return descriptor;
}

VirtualDisplaySettings MacVirtualDisplay::settings(int64_t width, int64_t height, bool hiDPI) {
    return {hiDPI, {{width, height, 60}}};
}

std::unique_ptr<MacVirtualDisplay> MacVirtualDisplay::create(VirtualDisplayFactory& factory, int64_t width,
                                                             int64_t height, bool hiDPI, uint32_t serial) {
    auto display = factory.create(descriptor(width, height, hiDPI, serial));
    if (!display) return nullptr;
    if (!display->apply(settings(width, height, hiDPI))) return nullptr;
    // Some platforms only bring the display up when its mode is known, so the id is read last.
    if (display->displayID() == 0) return nullptr;
    return std::unique_ptr<MacVirtualDisplay>(new MacVirtualDisplay(std::move(display)));
}

std::optional<VirtualDisplayArguments>
parseVirtualDisplayArguments(const std::vector<std::string>& arguments) {
    auto flag = std::find(arguments.begin(), arguments.end(), "--virtual-display");
    if (flag == arguments.end() || arguments.end() - flag < 5) return std::nullopt;
    auto width = decimal(flag[1]);
    auto height = decimal(flag[2]);
    auto hiDPI = decimal(flag[3]);
    if (!width || !height || !hiDPI || *width <= 0 || *height <= 0 || *width > 16384 || *height > 16384)
        return std::nullopt;
    auto serial = decimal(flag[4]);
    bool validSerial = serial && *serial >= 0 && *serial <= int64_t(UINT32_MAX);
    return VirtualDisplayArguments{*width, *height, *hiDPI != 0, validSerial ? uint32_t(*serial) : 1u};
}

int runVirtualDisplayChild(const VirtualDisplayArguments& arguments, VirtualDisplayFactory& factory,
                           int input, std::FILE* output) {
    auto display = MacVirtualDisplay::create(factory, arguments.width, arguments.height, arguments.hiDPI,
                                             arguments.serial);
    if (!display) {
        std::fputs("ERR\n", output);
        std::fflush(output);
        return 1;
    }
    std::fprintf(output, "ID %u\n", display->displayID());
    std::fflush(output);
    waitForEndOfInput(input);
    return 0;
}

} // namespace quorlinth
