#pragma once

#include "platform/linux/X11Connection.h"

#include <memory>
#include <string>

namespace quorlinth {

// The connection to the display being shared, used by the input backends on the main thread.
class XTestDisplay {
public:
    // `name` as for XOpenDisplay; empty means $DISPLAY. Null when the display cannot be opened.
    static std::shared_ptr<XTestDisplay> open(const std::string& name);

    _XDisplay* get() const { return connection->get(); }
    // Whether the server offers the XTest extension and is still there: the stand-in for the
    // accessibility permission. Any thread.
    bool hasXTest() const { return xtest && !connection->broken(); }

private:
    XTestDisplay(std::unique_ptr<X11Connection> connection, bool xtest)
        : connection(std::move(connection)), xtest(xtest) {}

    std::unique_ptr<X11Connection> connection;
    bool xtest;
};

} // namespace quorlinth
