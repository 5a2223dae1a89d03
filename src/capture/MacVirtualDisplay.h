#pragma once

#include "platform/VirtualDisplay.h"

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorlinth {

// The virtual display inside the child process.
class MacVirtualDisplay {
public:
    static constexpr const char* kName = "Quorlinth 虚拟屏";
    static constexpr uint32_t kVendorID = 20812;
    static constexpr uint32_t kProductID = 1;

    // The display of `width` × `height` points; null when the platform could not make it.
    static std::unique_ptr<MacVirtualDisplay> create(VirtualDisplayFactory& factory, int64_t width,
                                                     int64_t height, bool hiDPI, uint32_t serial);

    static VirtualDisplayDescriptor descriptor(int64_t width, int64_t height, bool hiDPI, uint32_t serial);
    static VirtualDisplaySettings settings(int64_t width, int64_t height, bool hiDPI);

    DisplayID displayID() const { return display->displayID(); }

private:
    explicit MacVirtualDisplay(std::unique_ptr<VirtualDisplay> display) : display(std::move(display)) {}
    std::unique_ptr<VirtualDisplay> display;
};

// The child's arguments after "--virtual-display"; nullopt when the flag is absent or fewer
// than four decimal integers follow it.
struct VirtualDisplayArguments {
    int64_t width = 0;
    int64_t height = 0;
    bool hiDPI = false;
    uint32_t serial = 1;
};
std::optional<VirtualDisplayArguments>
parseVirtualDisplayArguments(const std::vector<std::string>& arguments);

// Runs the child: prints "ID <id>" (or "ERR") on `output`, then keeps the display until a read
// of `input` returns no data. Returns the exit status.
int runVirtualDisplayChild(const VirtualDisplayArguments& arguments, VirtualDisplayFactory& factory,
                           int input, std::FILE* output);

} // namespace quorlinth
