#pragma once

#include "platform/Displays.h"

#include <memory>
#include <string>
#include <vector>

namespace quorlinth {

struct VirtualDisplayDescriptor {
    std::string name;
    int64_t maxPixelsWide = 0;
    int64_t maxPixelsHigh = 0;
    double widthMillimetres = 0;
    double heightMillimetres = 0;
    uint32_t vendorID = 0;
    uint32_t productID = 0;
    uint32_t serialNumber = 0;
};

struct VirtualDisplayModeSetting {
    int64_t width = 0; // points
    int64_t height = 0;
    double refreshRate = 60;
};

struct VirtualDisplaySettings {
    bool hiDPI = false;
    std::vector<VirtualDisplayModeSetting> modes;
};

// A display that exists only while this object lives.
class VirtualDisplay {
public:
    virtual ~VirtualDisplay() = default;
    // 0 until the display is up.
    virtual DisplayID displayID() const = 0;
    virtual bool apply(const VirtualDisplaySettings& settings) = 0;
};

// Makes virtual displays; null when the platform cannot.
class VirtualDisplayFactory {
public:
    virtual ~VirtualDisplayFactory() = default;
    virtual std::unique_ptr<VirtualDisplay> create(const VirtualDisplayDescriptor& descriptor) = 0;
};

} // namespace quorlinth
