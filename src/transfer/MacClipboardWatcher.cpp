#include "transfer/MacClipboardWatcher.h"

namespace quorlinth {

std::shared_ptr<MacClipboardWatcher> MacClipboardWatcher::create(std::shared_ptr<Clipboard> clipboard,
                                                                 Dispatcher* main) {
    return std::make_shared<MacClipboardWatcher>(std::move(clipboard),
                                                 main ? *main : static_cast<Dispatcher&>(mainQueue()));
}

MacClipboardWatcher::MacClipboardWatcher(std::shared_ptr<Clipboard> clipboard, Dispatcher& main)
    : count(clipboard->changeCount()), clipboard(std::move(clipboard)), main(main) {}

void MacClipboardWatcher::start() {
    count = clipboard->changeCount();
    timer = main.every(kPollInterval, kPollInterval, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->poll();
    });
}

void MacClipboardWatcher::stop() {
    timer.cancel();
}

void MacClipboardWatcher::poll() {
    int64_t now = clipboard->changeCount();
    if (now == count) return;
    count = now;
    if (auto files = clipboard->files(); !files.empty()) {
        if (onFiles) onFiles(std::move(files));
        return;
    }
    if (auto png = clipboard->png(); png && !png->empty()) {
        if (onImage) onImage(std::move(*png));
        return;
    }
    if (auto text = clipboard->text(); text && !text->empty() && onText) onText(std::move(*text));
}

void MacClipboardWatcher::writeText(const std::string& text) {
    clipboard->writeText(text);
    count = clipboard->changeCount();
}

void MacClipboardWatcher::writeImage(const Bytes& png) {
    clipboard->writePng(png);
    count = clipboard->changeCount();
}

} // namespace quorlinth
