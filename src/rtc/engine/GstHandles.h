#pragma once

// Engine internals: GStreamer types live here and in the .cpp files only; nothing outside
// src/rtc includes this folder.

#include "base/Json.h"

#include <functional>
#include <gst/gst.h>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace quorlinth::engine {

// Owns one reference to a GstObject.
template <class T> class GstRef {
public:
    GstRef() = default;
    explicit GstRef(T* adopted) : object(adopted) {}
    GstRef(const GstRef&) = delete;
    GstRef& operator=(const GstRef&) = delete;
    GstRef(GstRef&& other) noexcept : object(std::exchange(other.object, nullptr)) {}
    GstRef& operator=(GstRef&& other) noexcept {
        if (this != &other) {
            reset();
            object = std::exchange(other.object, nullptr);
        }
        return *this;
    }
    ~GstRef() { reset(); }
    void reset() {
        if (object) gst_object_unref(object);
        object = nullptr;
    }
    T* get() const { return object; }
    explicit operator bool() const { return object != nullptr; }

private:
    T* object = nullptr;
};

// Signal handlers hold their target weakly: the user data is a heap weak_ptr freed with the
// handler, so a late emission after the target is gone does nothing.
template <class T>
gulong connectWeak(gpointer instance, const char* signal, GCallback handler, std::weak_ptr<T> target) {
    return g_signal_connect_data(
        instance, signal, handler, new std::weak_ptr<T>(std::move(target)),
        [](gpointer data, GClosure*) { delete static_cast<std::weak_ptr<T>*>(data); }, GConnectFlags(0));
}
template <class T> std::shared_ptr<T> lockWeak(gpointer data) {
    return static_cast<std::weak_ptr<T>*>(data)->lock();
}

// A GValue or a whole GstStructure as JSON (enums by nick; nested structures skipped).
Json jsonFromValue(const GValue* value);
Json jsonFromStructure(const GstStructure* structure);

// Every element below `bin` made by the named factory.
std::vector<GstRef<GstElement>> elementsByFactory(GstBin* bin, const char* factoryName);

GstElement* makeElement(const char* factory, const char* name = nullptr);

// Names the transport-wide congestion control header extension in a payload's RTP caps, the
// way webrtcbin reads (and writes) an a=extmap line: the field "extmap-<id>".
void setTransportCcExtension(GstStructure* rtpCaps, int id);

} // namespace quorlinth::engine
