#include "platform/fake/FakeDisplayServices.h"

#include <algorithm>

namespace quorlinth {

namespace {

class FakeObservation : public Observation {
public:
    FakeObservation(std::shared_ptr<std::vector<std::function<void()>*>> list, std::function<void()> changed)
        : list(std::move(list)), changed(std::move(changed)) {
        this->list->push_back(&this->changed);
    }
    ~FakeObservation() override { std::erase(*list, &changed); }

private:
    std::shared_ptr<std::vector<std::function<void()>*>> list;
    std::function<void()> changed;
};

} // namespace

void FakeDisplayServices::add(Display display) {
    remove(display.id);
    displays.push_back(std::move(display));
}

void FakeDisplayServices::remove(DisplayID id) {
    std::erase_if(displays, [id](const Display& d) { return d.id == id; });
}

FakeDisplayServices::Display* FakeDisplayServices::find(DisplayID id) {
    auto found =
        std::find_if(displays.begin(), displays.end(), [id](const Display& d) { return d.id == id; });
    return found == displays.end() ? nullptr : &*found;
}

void FakeDisplayServices::announceChange() {
    for (auto* observer : std::vector(*observers))
        (*observer)();
}

std::vector<DisplayID> FakeDisplayServices::activeDisplays() {
    std::vector<DisplayID> ids;
    for (const auto& d : displays)
        if (d.active && d.online) ids.push_back(d.id);
    return ids;
}

std::vector<DisplayID> FakeDisplayServices::onlineDisplays() {
    std::vector<DisplayID> ids;
    for (const auto& d : displays)
        if (d.online) ids.push_back(d.id);
    return ids;
}

bool FakeDisplayServices::isOnline(DisplayID display) {
    auto* d = find(display);
    return d && d->online;
}

bool FakeDisplayServices::isAsleep(DisplayID display) {
    auto* d = find(display);
    return d && d->asleep;
}

bool FakeDisplayServices::isBuiltin(DisplayID display) {
    auto* d = find(display);
    return d && d->builtin;
}

std::optional<DisplayMode> FakeDisplayServices::bounds(DisplayID display) {
    auto* d = find(display);
    if (!d) return std::nullopt;
    return d->bounds;
}

std::optional<DisplayMode> FakeDisplayServices::currentMode(DisplayID display) {
    auto* d = find(display);
    if (!d) return std::nullopt;
    return d->mode;
}

std::vector<DisplayMode> FakeDisplayServices::allModes(DisplayID display) {
    auto* d = find(display);
    if (!d || !d->mode) return {};
    return {*d->mode};
}

int FakeDisplayServices::applyMode(DisplayID display, const DisplayMode& mode) {
    appliedModes.emplace_back(display, mode);
    auto* d = find(display);
    if (!d) return 1;
    if (modeResult != 0) return modeResult;
    d->mode = mode;
    return 0;
}

DisplayID FakeDisplayServices::mirrorsDisplay(DisplayID display) {
    auto* d = find(display);
    return d ? d->mirrors : 0;
}

int FakeDisplayServices::configureMirror(DisplayID display, DisplayID master) {
    mirrorRequests.emplace_back(display, master);
    if (mirrorResult != 0) return mirrorResult;
    if (auto* d = find(display)) d->mirrors = master;
    return 0;
}

std::string FakeDisplayServices::localizedName(DisplayID display) {
    auto* d = find(display);
    return d ? d->name : std::string();
}

std::unique_ptr<Observation> FakeDisplayServices::observeChanges(std::function<void()> changed) {
    return std::make_unique<FakeObservation>(observers, std::move(changed));
}

} // namespace quorlinth
