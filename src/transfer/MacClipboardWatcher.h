#pragma once

#include "base/Encoding.h"
#include "base/MainQueue.h"
#include "platform/Clipboard.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quorlinth {

// Notices when the local clipboard changes and reports what was copied: files, else an image,
// else text; one report per change. What it writes itself (content from the peer) is not
// reported again. Main thread only.
class MacClipboardWatcher : public std::enable_shared_from_this<MacClipboardWatcher> {
public:
    static constexpr Millis kPollInterval{500};

    // `main` runs the poll timer; the process's main queue when null.
    static std::shared_ptr<MacClipboardWatcher> create(std::shared_ptr<Clipboard> clipboard,
                                                       Dispatcher* main = nullptr);

    // The change count last seen or written.
    int64_t count = 0;
    std::function<void(std::string text)> onText;
    std::function<void(std::vector<std::filesystem::path> files)> onFiles;
    std::function<void(Bytes png)> onImage;

    // What is on the clipboard now is not reported; polls every half second until stop().
    void start();
    void stop();
    bool running() const { return timer.active(); }
    void poll();

    // Content from the peer: replaces the clipboard and is not reported back.
    void writeText(const std::string& text);
    void writeImage(const Bytes& png);
    // Files copied now, for serving a pull.
    std::vector<std::filesystem::path> copiedFiles() { return clipboard->files(); }
    Clipboard& board() { return *clipboard; }

    MacClipboardWatcher(std::shared_ptr<Clipboard> clipboard, Dispatcher& main);

private:
    std::shared_ptr<Clipboard> clipboard;
    Dispatcher& main;
    Timer timer;
};

} // namespace quorlinth
