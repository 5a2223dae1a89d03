#pragma once

#include "platform/VirtualDisplay.h"

#include <string>
#include <unistd.h>

namespace quorlinth {

// Virtual displays as private X servers (Xvfb) of the requested pixel size. The server is
// started when the display's mode is applied, marked as this program's virtual display on its
// root window, and ends with this object or with the process that made it. Xvfb keeps one
// fixed size, so a mode change means a new display.
class XvfbVirtualDisplayFactory : public VirtualDisplayFactory {
public:
    // `owner` is the program whose display this is: the parent of the virtual-display child.
    explicit XvfbVirtualDisplayFactory(pid_t owner = getppid(), std::string executable = "Xvfb")
        : owner(owner), executable(std::move(executable)) {}
    std::unique_ptr<VirtualDisplay> create(const VirtualDisplayDescriptor& descriptor) override;

private:
    pid_t owner;
    std::string executable;
};

} // namespace quorlinth
