#include "platform/linux/X11Clipboard.h"

#include "platform/linux/X11Connection.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <poll.h>
#include <sstream>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace quorlinth {

namespace {

using Clock = std::chrono::steady_clock;

// Larger contents are not read: the clipboard image limit with room to spare.
constexpr size_t kMaxContent = 48 * 1024 * 1024;
// Contents larger than this are served incrementally (INCR), below the core request limit.
constexpr size_t kServeChunk = 128 * 1024;
constexpr auto kFetchTimeout = std::chrono::seconds(3);

struct Contents {
    std::vector<std::filesystem::path> files;
    std::optional<std::vector<uint8_t>> png;
    std::optional<std::string> text;
};

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string percentDecode(const std::string& text) {
    std::string out;
    for (size_t index = 0; index < text.size(); ++index) {
        if (text[index] == '%' && index + 2 < text.size()) {
            int high = hexValue(text[index + 1]), low = hexValue(text[index + 2]);
            if (high >= 0 && low >= 0) {
                out += static_cast<char>(high * 16 + low);
                index += 2;
                continue;
            }
        }
        out += text[index];
    }
    return out;
}

} // namespace

std::vector<std::filesystem::path> filesFromUriList(const std::string& list) {
    std::vector<std::filesystem::path> files;
    std::istringstream lines(list);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line.front() == '#' || line.rfind("file://", 0) != 0) continue;
        std::string rest = line.substr(7);
        // file:///path or file://localhost/path; other hosts are not local files.
        auto slash = rest.find('/');
        if (slash == std::string::npos) continue;
        std::string host = rest.substr(0, slash);
        if (!host.empty() && host != "localhost") continue;
        std::string path = percentDecode(rest.substr(slash));
        if (path.find('\0') == std::string::npos) files.emplace_back(path);
    }
    return files;
}

struct X11Clipboard::Impl {
    struct Fetch {
        std::vector<Atom> wanted;
        Atom target = None;
        Time time = CurrentTime;
        std::string data;
        bool incremental = false;
        Clock::time_point started;
        uint64_t writesAtStart = 0;
        // What was copied before we opened: known, but not a change.
        bool initial = false;
    };
    struct Served {
        Window requestor = None;
        Atom property = None;
        Atom type = None;
        std::shared_ptr<const std::string> data;
        size_t offset = 0;
    };
    struct Owned {
        std::optional<std::string> text;
        std::shared_ptr<const std::string> png;
        Time time = CurrentTime;
    };

    std::unique_ptr<X11Connection> connection;
    Display* display = nullptr;
    Window window = None;
    int fixesEventBase = 0;
    Atom clipboardAtom, targetsAtom, timestampAtom, utf8Atom, plainUtf8Atom, textAtom, pngAtom, uriListAtom,
        incrAtom, propertyAtom, stampAtom;
    int wake = -1;
    std::atomic<bool> stopping{false};
    std::thread worker;

    // Shared with callers, under the mutex.
    std::mutex mutex;
    int64_t count = 1;
    uint64_t writes = 0;
    Contents snapshot;
    std::optional<Contents> pendingWrite;

    // The worker thread only.
    std::optional<Contents> awaitingOwnership;
    std::optional<Owned> owned;
    std::optional<Fetch> fetch;
    std::vector<Served> served;

    ~Impl() {
        stopping = true;
        if (wake >= 0) {
            uint64_t one = 1;
            [[maybe_unused]] auto ignored = ::write(wake, &one, sizeof one);
        }
        if (worker.joinable())
            worker.join();
        else
            releaseDisplay();
        if (wake >= 0) ::close(wake);
    }

    // Only the thread that last used the display may let it go: libX11 can leave the display's
    // lock waiting on that thread, and another thread's XDestroyWindow then never returns.
    void releaseDisplay() {
        if (window != None && !connection->broken()) XDestroyWindow(display, window);
        window = None;
        connection.reset();
        display = nullptr;
    }

    void run() {
        if (Window owner = XGetSelectionOwner(display, clipboardAtom); owner != None) {
            selectionChanged(owner, CurrentTime);
            fetch->initial = true;
        }
        while (!stopping && !connection->broken()) {
            while (XPending(display) > 0) {
                XEvent event;
                XNextEvent(display, &event);
                handle(event);
            }
            takeWrite();
            if (fetch && Clock::now() - fetch->started > kFetchTimeout) complete({});
            XFlush(display);
            pollfd fds[2] = {{ConnectionNumber(display), POLLIN, 0}, {wake, POLLIN, 0}};
            ::poll(fds, 2, 200);
            if (fds[1].revents & POLLIN) {
                uint64_t value;
                [[maybe_unused]] auto ignored = ::read(wake, &value, sizeof value);
            }
        }
        releaseDisplay();
    }

    void handle(XEvent& event) {
        if (event.type == fixesEventBase + XFixesSelectionNotify) {
            auto& notify = reinterpret_cast<XFixesSelectionNotifyEvent&>(event);
            if (notify.selection == clipboardAtom) selectionChanged(notify.owner, notify.selection_timestamp);
            return;
        }
        switch (event.type) {
        case SelectionRequest:
            return serve(event.xselectionrequest);
        case SelectionNotify:
            return converted(event.xselection);
        case SelectionClear:
            if (event.xselectionclear.selection == clipboardAtom) owned.reset();
            return;
        case PropertyNotify:
            return propertyChanged(event.xproperty);
        default:
            return;
        }
    }

    // ---- our writes -----------------------------------------------------------------------

    void takeWrite() {
        std::optional<Contents> write;
        {
            std::lock_guard lock(mutex);
            write.swap(pendingWrite);
        }
        if (!write) return;
        fetch.reset();
        awaitingOwnership = std::move(write);
        // A zero-length append yields a PropertyNotify carrying the server time to own with.
        XChangeProperty(display, window, stampAtom, XA_STRING, 8, PropModeAppend, nullptr, 0);
    }

    void takeOwnership(Time time) {
        Owned next;
        next.text = awaitingOwnership->text;
        if (awaitingOwnership->png)
            next.png = std::make_shared<const std::string>(awaitingOwnership->png->begin(),
                                                           awaitingOwnership->png->end());
        next.time = time;
        awaitingOwnership.reset();
        owned = std::move(next);
        XSetSelectionOwner(display, clipboardAtom, window, time);
    }

    // ---- reading what others copied -------------------------------------------------------

    void selectionChanged(Window owner, Time time) {
        if (owner == window) return; // our own write, counted when it was made
        owned.reset();
        fetch.reset();
        if (owner == None) return complete({});
        Fetch next;
        next.target = targetsAtom;
        next.time = time;
        next.started = Clock::now();
        {
            std::lock_guard lock(mutex);
            next.writesAtStart = writes;
        }
        fetch = std::move(next);
        XConvertSelection(display, clipboardAtom, targetsAtom, propertyAtom, window, time);
    }

    std::optional<std::pair<Atom, std::string>> readProperty() {
        Atom type = None;
        int format = 0;
        unsigned long items = 0, after = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(display, window, propertyAtom, 0, kMaxContent / 4, True, AnyPropertyType,
                               &type, &format, &items, &after, &data) != Success)
            return std::nullopt;
        std::string bytes;
        if (data && format == 8) bytes.assign(reinterpret_cast<char*>(data), items);
        if (data && format == 32) bytes.assign(reinterpret_cast<char*>(data), items * sizeof(long));
        if (data) XFree(data);
        if (after > 0) return std::nullopt; // larger than we read
        return std::make_pair(type, bytes);
    }

    void converted(const XSelectionEvent& event) {
        if (!fetch || event.selection != clipboardAtom || event.target != fetch->target) return;
        if (event.property == None) return nextTarget();
        auto property = readProperty();
        if (!property) return nextTarget();
        if (property->first == incrAtom) {
            fetch->incremental = true;
            fetch->data.clear();
            return;
        }
        if (fetch->target == targetsAtom) return chooseTargets(property->second);
        fetch->data = std::move(property->second);
        finishTarget();
    }

    void chooseTargets(const std::string& list) {
        std::vector<Atom> offered(list.size() / sizeof(long));
        for (size_t index = 0; index < offered.size(); ++index)
            offered[index] = reinterpret_cast<const unsigned long*>(list.data())[index];
        auto has = [&](Atom atom) {
            return std::find(offered.begin(), offered.end(), atom) != offered.end();
        };
        fetch->wanted.clear();
        for (Atom atom : {uriListAtom, pngAtom})
            if (has(atom)) fetch->wanted.push_back(atom);
        if (has(utf8Atom))
            fetch->wanted.push_back(utf8Atom);
        else if (has(plainUtf8Atom))
            fetch->wanted.push_back(plainUtf8Atom);
        nextTarget();
    }

    void nextTarget() {
        if (!fetch) return;
        if (fetch->wanted.empty()) return complete({});
        fetch->target = fetch->wanted.front();
        fetch->wanted.erase(fetch->wanted.begin());
        fetch->data.clear();
        fetch->incremental = false;
        XConvertSelection(display, clipboardAtom, fetch->target, propertyAtom, window, fetch->time);
    }

    void finishTarget() {
        Contents contents;
        if (fetch->target == uriListAtom) {
            contents.files = filesFromUriList(fetch->data);
            if (contents.files.empty()) return nextTarget();
        } else if (fetch->target == pngAtom) {
            if (fetch->data.empty()) return nextTarget();
            contents.png = std::vector<uint8_t>(fetch->data.begin(), fetch->data.end());
        } else {
            contents.text = std::move(fetch->data);
        }
        complete(std::move(contents));
    }

    // A content read (or found unreadable) raises the count, unless we wrote meanwhile.
    void complete(Contents contents) {
        uint64_t since = fetch ? fetch->writesAtStart : 0;
        bool fetched = fetch.has_value();
        bool initial = fetch && fetch->initial;
        fetch.reset();
        std::lock_guard lock(mutex);
        if (fetched && writes != since) return;
        snapshot = std::move(contents);
        if (!initial) ++count;
    }

    void propertyChanged(const XPropertyEvent& event) {
        if (event.window == window && event.atom == stampAtom && event.state == PropertyNewValue) {
            if (awaitingOwnership) takeOwnership(event.time);
            return;
        }
        if (event.window == window && event.atom == propertyAtom && event.state == PropertyNewValue) {
            if (!fetch || !fetch->incremental) return;
            auto property = readProperty();
            if (!property) return nextTarget();
            if (property->second.empty()) return finishTarget();
            if (fetch->data.size() + property->second.size() > kMaxContent) return nextTarget();
            fetch->data += property->second;
            return;
        }
        if (event.state == PropertyDelete) continueServing(event.window, event.atom);
    }

    // ---- serving our contents -------------------------------------------------------------

    void serve(const XSelectionRequestEvent& request) {
        XSelectionEvent reply{};
        reply.type = SelectionNotify;
        reply.display = display;
        reply.requestor = request.requestor;
        reply.selection = request.selection;
        reply.target = request.target;
        reply.time = request.time;
        reply.property = None;
        Atom property = request.property != None ? request.property : request.target;
        if (owned && request.selection == clipboardAtom) {
            if (request.target == targetsAtom) {
                std::vector<Atom> list{targetsAtom, timestampAtom};
                if (owned->text) list.insert(list.end(), {utf8Atom, plainUtf8Atom, XA_STRING, textAtom});
                if (owned->png) list.push_back(pngAtom);
                XChangeProperty(display, request.requestor, property, XA_ATOM, 32, PropModeReplace,
                                reinterpret_cast<unsigned char*>(list.data()), static_cast<int>(list.size()));
                reply.property = property;
            } else if (request.target == timestampAtom) {
                long time = static_cast<long>(owned->time);
                XChangeProperty(display, request.requestor, property, XA_INTEGER, 32, PropModeReplace,
                                reinterpret_cast<unsigned char*>(&time), 1);
                reply.property = property;
            } else if (owned->text && (request.target == utf8Atom || request.target == plainUtf8Atom ||
                                       request.target == XA_STRING || request.target == textAtom)) {
                Atom type = request.target == textAtom ? utf8Atom : request.target;
                send(request.requestor, property, type, std::make_shared<const std::string>(*owned->text));
                reply.property = property;
            } else if (owned->png && request.target == pngAtom) {
                send(request.requestor, property, pngAtom, owned->png);
                reply.property = property;
            }
        }
        XSendEvent(display, request.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&reply));
    }

    void send(Window requestor, Atom property, Atom type, std::shared_ptr<const std::string> data) {
        if (data->size() <= kServeChunk) {
            XChangeProperty(display, requestor, property, type, 8, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(data->data()),
                            static_cast<int>(data->size()));
            return;
        }
        XSelectInput(display, requestor, PropertyChangeMask);
        long size = static_cast<long>(data->size());
        XChangeProperty(display, requestor, property, incrAtom, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(&size), 1);
        served.push_back({requestor, property, type, std::move(data), 0});
    }

    void continueServing(Window requestor, Atom property) {
        for (auto entry = served.begin(); entry != served.end(); ++entry) {
            if (entry->requestor != requestor || entry->property != property) continue;
            size_t chunk = std::min(kServeChunk, entry->data->size() - entry->offset);
            XChangeProperty(display, requestor, property, entry->type, 8, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(entry->data->data() + entry->offset),
                            static_cast<int>(chunk));
            entry->offset += chunk;
            if (chunk == 0) {
                XSelectInput(display, requestor, NoEventMask);
                served.erase(entry);
            }
            return;
        }
    }
};

std::shared_ptr<X11Clipboard> X11Clipboard::open(const std::string& name) {
    auto connection = X11Connection::open(name);
    if (!connection) return nullptr;
    auto impl = std::make_unique<Impl>();
    impl->display = connection->get();
    impl->connection = std::move(connection);
    Display* display = impl->display;
    int errorBase = 0;
    if (!XFixesQueryExtension(display, &impl->fixesEventBase, &errorBase)) return nullptr;
    auto atom = [display](const char* name) { return XInternAtom(display, name, False); };
    impl->clipboardAtom = atom("CLIPBOARD");
    impl->targetsAtom = atom("TARGETS");
    impl->timestampAtom = atom("TIMESTAMP");
    impl->utf8Atom = atom("UTF8_STRING");
    impl->plainUtf8Atom = atom("text/plain;charset=utf-8");
    impl->textAtom = atom("TEXT");
    impl->pngAtom = atom("image/png");
    impl->uriListAtom = atom("text/uri-list");
    impl->incrAtom = atom("INCR");
    impl->propertyAtom = atom("_QUORLINTH_CLIPBOARD");
    impl->stampAtom = atom("_QUORLINTH_CLIPBOARD_TIME");
    XSetWindowAttributes attributes{};
    attributes.event_mask = PropertyChangeMask;
    impl->window = XCreateWindow(display, DefaultRootWindow(display), -10, -10, 1, 1, 0, CopyFromParent,
                                 InputOnly, CopyFromParent, CWEventMask, &attributes);
    XFixesSelectSelectionInput(display, impl->window, impl->clipboardAtom,
                               XFixesSetSelectionOwnerNotifyMask | XFixesSelectionWindowDestroyNotifyMask |
                                   XFixesSelectionClientCloseNotifyMask);
    XFlush(display);
    impl->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (impl->wake < 0) return nullptr;
    Impl* raw = impl.get();
    impl->worker = std::thread([raw] { raw->run(); });
    return std::make_shared<X11Clipboard>(std::move(impl));
}

X11Clipboard::X11Clipboard(std::unique_ptr<Impl> impl) : impl(std::move(impl)) {}

X11Clipboard::~X11Clipboard() = default;

int64_t X11Clipboard::changeCount() {
    std::lock_guard lock(impl->mutex);
    return impl->count;
}

std::vector<std::filesystem::path> X11Clipboard::files() {
    std::lock_guard lock(impl->mutex);
    return impl->snapshot.files;
}

std::optional<std::vector<uint8_t>> X11Clipboard::png() {
    std::lock_guard lock(impl->mutex);
    return impl->snapshot.png;
}

std::optional<std::string> X11Clipboard::text() {
    std::lock_guard lock(impl->mutex);
    return impl->snapshot.text;
}

void X11Clipboard::writeText(const std::string& text) {
    {
        std::lock_guard lock(impl->mutex);
        impl->snapshot = {{}, std::nullopt, text};
        impl->pendingWrite = impl->snapshot;
        ++impl->writes;
        ++impl->count;
    }
    uint64_t one = 1;
    [[maybe_unused]] auto ignored = ::write(impl->wake, &one, sizeof one);
}

void X11Clipboard::writePng(const std::vector<uint8_t>& png) {
    {
        std::lock_guard lock(impl->mutex);
        impl->snapshot = {{}, png, std::nullopt};
        impl->pendingWrite = impl->snapshot;
        ++impl->writes;
        ++impl->count;
    }
    uint64_t one = 1;
    [[maybe_unused]] auto ignored = ::write(impl->wake, &one, sizeof one);
}

} // namespace quorlinth
