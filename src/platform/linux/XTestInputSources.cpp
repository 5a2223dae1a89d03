#include "platform/linux/XTestInputSources.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <charconv>

namespace quorlinth {

namespace {

std::optional<int> groupNumber(const std::string& id) {
    int group = -1;
    auto [end, error] = std::from_chars(id.data(), id.data() + id.size(), group);
    if (error != std::errc{} || end != id.data() + id.size() || group < 0 || group >= XkbNumKbdGroups)
        return std::nullopt;
    return group;
}

} // namespace

std::vector<KeyboardInputSource> XTestInputSources::enabledSources() {
    std::vector<KeyboardInputSource> sources;
    if (!display) return sources;
    Display* d = display->get();
    XkbDescPtr keyboard = XkbAllocKeyboard();
    if (!keyboard) return sources;
    if (XkbGetControls(d, XkbGroupsWrapMask, keyboard) == Success &&
        XkbGetNames(d, XkbGroupNamesMask, keyboard) == Success && keyboard->ctrls && keyboard->names) {
        int groups = keyboard->ctrls->num_groups;
        for (int group = 0; group < groups && group < XkbNumKbdGroups; ++group) {
            Atom atom = keyboard->names->groups[group];
            std::string name = "Group " + std::to_string(group + 1);
            if (char* text = atom ? XGetAtomName(d, atom) : nullptr) {
                name = text;
                XFree(text);
            }
            sources.push_back({std::to_string(group), name});
        }
    }
    XkbFreeKeyboard(keyboard, 0, True);
    return sources;
}

std::optional<std::string> XTestInputSources::currentSourceID() {
    if (!display) return std::nullopt;
    XkbStateRec state{};
    if (XkbGetState(display->get(), XkbUseCoreKbd, &state) != Success) return std::nullopt;
    return std::to_string(state.group);
}

bool XTestInputSources::select(const std::string& id) {
    auto group = groupNumber(id);
    if (!display || !group) return false;
    if (!XkbLockGroup(display->get(), XkbUseCoreKbd, static_cast<unsigned>(*group))) return false;
    return currentSourceID() == id; // XkbGetState waits for the server, so the lock has been applied
}

} // namespace quorlinth
