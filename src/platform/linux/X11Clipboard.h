#pragma once

#include "platform/Clipboard.h"

#include <memory>
#include <string>

namespace quorlinth {

// The X11 CLIPBOARD selection as the desktop's clipboard, usable headless (no toolkit). A thread
// of its own, on its own connection, watches the selection with XFixes, reads each new content
// (file URLs as text/uri-list, else an image as image/png, else text as UTF8_STRING) and only
// then raises the change count, so readers never wait on another program. Our own writes take
// the selection and are served from memory (large ones incrementally).
class X11Clipboard : public Clipboard {
public:
    // Null when the server cannot be reached or lacks XFixes. An empty name means $DISPLAY.
    static std::shared_ptr<X11Clipboard> open(const std::string& display = "");
    ~X11Clipboard() override;

    int64_t changeCount() override;
    std::vector<std::filesystem::path> files() override;
    std::optional<std::vector<uint8_t>> png() override;
    std::optional<std::string> text() override;
    void writeText(const std::string& text) override;
    void writePng(const std::vector<uint8_t>& png) override;

    struct Impl;
    explicit X11Clipboard(std::unique_ptr<Impl> impl);

private:
    std::unique_ptr<Impl> impl;
};

// The local files a text/uri-list names (file URLs only, percent-decoded).
std::vector<std::filesystem::path> filesFromUriList(const std::string& list);

} // namespace quorlinth
