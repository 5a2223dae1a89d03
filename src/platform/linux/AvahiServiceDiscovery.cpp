#include "platform/linux/AvahiServiceDiscovery.h"

#include <algorithm>
#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>
#include <map>
#include <tuple>

namespace quorlinth {

namespace {

struct Publication {
    std::string name, type;
    uint16_t port = 0;
    std::function<void(std::string)> onFailure;
    AvahiEntryGroup* group = nullptr;
    AvahiServiceDiscovery::State* owner = nullptr;
};

// One announcement seen on one interface and protocol.
using Instance = std::tuple<AvahiIfIndex, AvahiProtocol, std::string>;

struct Browse {
    std::string type;
    std::function<void(std::vector<DiscoveredService>)> update;
    AvahiServiceBrowser* browser = nullptr;
    std::map<Instance, AvahiServiceResolver*> resolving;
    std::map<Instance, DiscoveredService> resolved;
    std::vector<DiscoveredService> reported;
    AvahiServiceDiscovery::State* owner = nullptr;
};

} // namespace

// Everything below is touched on the poll thread, or elsewhere under the poll's lock.
struct AvahiServiceDiscovery::State {
    AvahiThreadedPoll* poll = nullptr;
    AvahiClient* client = nullptr;
    std::vector<std::shared_ptr<Publication>> publications;
    std::vector<std::shared_ptr<Browse>> browses;

    void connect();
    void clientChanged(AvahiClient* changed, AvahiClientState clientState);
    void announce(Publication& publication);
    void startBrowsing(Browse& browse);
    void dropClientObjects();
};

namespace {

std::string describe(int error) {
    if (error == AVAHI_ERR_COLLISION) return "局域网中已有同名的服务";
    if (error == AVAHI_ERR_NO_DAEMON || error == AVAHI_ERR_DISCONNECTED) return "系统的局域网发现服务未运行";
    return "系统的局域网发现服务出错";
}

bool loopbackAddress(const std::string& host) {
    return host.rfind("127.", 0) == 0;
}

void report(Browse& browse) {
    // One entry per name: its first address reached over a network, or loopback when that is
    // all there is (a service of this machine seen on `lo`).
    std::vector<DiscoveredService> services;
    for (const auto& [instance, service] : browse.resolved) {
        auto listed = std::find_if(services.begin(), services.end(), [&](const DiscoveredService& entry) {
            return entry.name == service.name;
        });
        if (listed == services.end())
            services.push_back(service);
        else if (loopbackAddress(listed->host) && !loopbackAddress(service.host))
            *listed = service;
    }
    if (services == browse.reported) return;
    browse.reported = services;
    browse.update(services);
}

void resolved(AvahiServiceResolver* resolver, AvahiIfIndex interface, AvahiProtocol protocol,
              AvahiResolverEvent event, const char* name, const char*, const char*, const char*,
              const AvahiAddress* address, uint16_t port, AvahiStringList*, AvahiLookupResultFlags,
              void* context) {
    auto& browse = *static_cast<Browse*>(context);
    Instance instance{interface, protocol, name ? name : ""};
    browse.resolving.erase(instance);
    avahi_service_resolver_free(resolver);
    if (event != AVAHI_RESOLVER_FOUND || !address) return;
    char text[AVAHI_ADDRESS_STR_MAX] = {};
    avahi_address_snprint(text, sizeof text, address);
    browse.resolved[instance] = {std::get<2>(instance), text, port};
    report(browse);
}

void browsed(AvahiServiceBrowser*, AvahiIfIndex interface, AvahiProtocol protocol, AvahiBrowserEvent event,
             const char* name, const char* type, const char* domain, AvahiLookupResultFlags, void* context) {
    auto& browse = *static_cast<Browse*>(context);
    if (!name) return;
    Instance instance{interface, protocol, name};
    if (event == AVAHI_BROWSER_NEW) {
        if (browse.resolving.count(instance)) return;
        // IPv4 addresses only: the address rule of the LAN refuses IPv6 literals.
        auto* resolver =
            avahi_service_resolver_new(browse.owner->client, interface, protocol, name, type, domain,
                                       AVAHI_PROTO_INET, AvahiLookupFlags(0), resolved, &browse);
        if (resolver) browse.resolving[instance] = resolver;
    } else if (event == AVAHI_BROWSER_REMOVE) {
        if (auto it = browse.resolving.find(instance); it != browse.resolving.end()) {
            avahi_service_resolver_free(it->second);
            browse.resolving.erase(it);
        }
        browse.resolved.erase(instance);
        report(browse);
    }
}

void groupChanged(AvahiEntryGroup* group, AvahiEntryGroupState groupState, void* context) {
    auto& publication = *static_cast<Publication*>(context);
    if (groupState == AVAHI_ENTRY_GROUP_COLLISION) {
        // Another host announces this name: take the next free variant ("Name #2").
        char* alternative = avahi_alternative_service_name(publication.name.c_str());
        publication.name = alternative;
        avahi_free(alternative);
        avahi_entry_group_reset(group);
        publication.owner->announce(publication);
    } else if (groupState == AVAHI_ENTRY_GROUP_FAILURE) {
        if (publication.onFailure)
            publication.onFailure(describe(avahi_client_errno(avahi_entry_group_get_client(group))));
    }
}

void clientCallback(AvahiClient* client, AvahiClientState clientState, void* context) {
    static_cast<AvahiServiceDiscovery::State*>(context)->clientChanged(client, clientState);
}

template <class Item> class Registration : public Observation {
public:
    Registration(std::shared_ptr<AvahiServiceDiscovery::State> state, std::shared_ptr<Item> item,
                 std::vector<std::shared_ptr<Item>> AvahiServiceDiscovery::State::*list,
                 void (*release)(Item&))
        : state(std::move(state)), item(std::move(item)), list(list), release(release) {}
    ~Registration() override {
        // After the backend is gone its objects are freed already and no thread runs.
        if (state->poll) avahi_threaded_poll_lock(state->poll);
        release(*item);
        std::erase((*state).*list, item);
        if (state->poll) avahi_threaded_poll_unlock(state->poll);
    }

private:
    std::shared_ptr<AvahiServiceDiscovery::State> state;
    std::shared_ptr<Item> item;
    std::vector<std::shared_ptr<Item>> AvahiServiceDiscovery::State::*list;
    void (*release)(Item&);
};

void releasePublication(Publication& publication) {
    if (publication.group) avahi_entry_group_free(publication.group);
    publication.group = nullptr;
}

void releaseBrowse(Browse& browse) {
    for (auto& [instance, resolver] : browse.resolving)
        avahi_service_resolver_free(resolver);
    browse.resolving.clear();
    if (browse.browser) avahi_service_browser_free(browse.browser);
    browse.browser = nullptr;
}

} // namespace

void AvahiServiceDiscovery::State::connect() {
    int error = 0;
    // NO_FAIL: wait for a daemon that is not running yet instead of failing.
    client =
        avahi_client_new(avahi_threaded_poll_get(poll), AVAHI_CLIENT_NO_FAIL, clientCallback, this, &error);
}

void AvahiServiceDiscovery::State::clientChanged(AvahiClient* changed, AvahiClientState clientState) {
    client = changed; // the first call comes before avahi_client_new returns
    if (clientState == AVAHI_CLIENT_S_RUNNING) {
        for (auto& publication : publications)
            if (!publication->group) announce(*publication);
        for (auto& browse : browses)
            if (!browse->browser) startBrowsing(*browse);
    } else if (clientState == AVAHI_CLIENT_FAILURE) {
        // The daemon went away: start over and wait for it to return.
        dropClientObjects();
        avahi_client_free(client);
        client = nullptr;
        connect();
    } else if (clientState == AVAHI_CLIENT_S_COLLISION || clientState == AVAHI_CLIENT_S_REGISTERING) {
        for (auto& publication : publications)
            if (publication->group) avahi_entry_group_reset(publication->group);
    }
}

void AvahiServiceDiscovery::State::dropClientObjects() {
    for (auto& publication : publications)
        publication->group = nullptr; // freed with the client
    for (auto& browse : browses) {
        browse->browser = nullptr;
        browse->resolving.clear();
        browse->resolved.clear();
        report(*browse);
    }
}

void AvahiServiceDiscovery::State::announce(Publication& publication) {
    if (!client || avahi_client_get_state(client) != AVAHI_CLIENT_S_RUNNING) return;
    if (!publication.group) publication.group = avahi_entry_group_new(client, groupChanged, &publication);
    if (!publication.group) return;
    int error = avahi_entry_group_add_service(
        publication.group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
        publication.name.c_str(), publication.type.c_str(), nullptr, nullptr, publication.port, nullptr);
    if (error == AVAHI_ERR_COLLISION)
        return groupChanged(publication.group, AVAHI_ENTRY_GROUP_COLLISION, &publication);
    if (error == 0) error = avahi_entry_group_commit(publication.group);
    if (error != 0 && publication.onFailure) publication.onFailure(describe(error));
}

void AvahiServiceDiscovery::State::startBrowsing(Browse& browse) {
    if (!client || avahi_client_get_state(client) != AVAHI_CLIENT_S_RUNNING) return;
    browse.browser =
        avahi_service_browser_new(client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, browse.type.c_str(), nullptr,
                                  AvahiLookupFlags(0), browsed, &browse);
}

AvahiServiceDiscovery::AvahiServiceDiscovery() : state(std::make_shared<State>()) {
    state->poll = avahi_threaded_poll_new();
    if (!state->poll) return;
    state->connect();
    avahi_threaded_poll_start(state->poll);
}

AvahiServiceDiscovery::~AvahiServiceDiscovery() {
    if (!state->poll) return;
    avahi_threaded_poll_stop(state->poll);
    for (auto& browse : state->browses)
        releaseBrowse(*browse);
    for (auto& publication : state->publications)
        releasePublication(*publication);
    if (state->client) avahi_client_free(state->client);
    state->client = nullptr;
    avahi_threaded_poll_free(state->poll);
    state->poll = nullptr;
}

std::unique_ptr<Observation> AvahiServiceDiscovery::publish(const std::string& name, const std::string& type,
                                                            uint16_t port,
                                                            std::function<void(std::string)> onFailure) {
    auto publication = std::make_shared<Publication>(
        Publication{name, type, port, std::move(onFailure), nullptr, state.get()});
    if (!state->poll) {
        if (publication->onFailure) publication->onFailure(describe(AVAHI_ERR_NO_DAEMON));
        return std::make_unique<Observation>();
    }
    avahi_threaded_poll_lock(state->poll);
    state->publications.push_back(publication);
    state->announce(*publication);
    avahi_threaded_poll_unlock(state->poll);
    return std::make_unique<Registration<Publication>>(state, publication, &State::publications,
                                                       releasePublication);
}

std::unique_ptr<Observation>
AvahiServiceDiscovery::browse(const std::string& type,
                              std::function<void(std::vector<DiscoveredService>)> update) {
    auto browse = std::make_shared<Browse>();
    browse->type = type;
    browse->update = std::move(update);
    browse->owner = state.get();
    if (!state->poll) return std::make_unique<Observation>();
    avahi_threaded_poll_lock(state->poll);
    state->browses.push_back(browse);
    state->startBrowsing(*browse);
    avahi_threaded_poll_unlock(state->poll);
    return std::make_unique<Registration<Browse>>(state, browse, &State::browses, releaseBrowse);
}

} // namespace quorlinth
