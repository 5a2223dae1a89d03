#pragma once

#include "SignalBus.h"
#include "base/Result.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>

struct redisContext;

namespace quorlinth::service {

// The signaling bus on a Redis server: a pub/sub channel per node ("quorlinth:node:ID"), and
// "quorlinth:device:ID" (the node holding the socket) and "quorlinth:hosting:ID" (the session
// holding the host) as keys that expire after kEntryLifetime unless refreshed, which this node
// does every kRefreshInterval. Commands run one at a time on a thread of their own, messages
// arrive on another. When Redis goes away, the node logs it once, keeps its own sockets, tries
// again with a growing pause and, once back, writes every entry it holds again.
class RedisBus : public SignalBus {
public:
    static constexpr std::chrono::seconds kEntryLifetime{15};
    static constexpr std::chrono::seconds kRefreshInterval{5};

    // redis://HOST[:PORT] (IPv6 as [::1]:6379) or redis:///path/to/redis.sock.
    struct Location {
        std::string host;
        int port = 6379;
        std::string socketPath;
        std::string describe() const;
    };
    static Result<Location> parseUrl(const std::string& url);

    explicit RedisBus(Location location);
    ~RedisBus() override;
    RedisBus(const RedisBus&) = delete;
    RedisBus& operator=(const RedisBus&) = delete;

    const std::string& nodeId() const override { return node; }
    void start(std::function<void(const std::string& message)> receive) override;
    void stop() override;
    void publish(const std::string& toNode, std::string message) override;
    bool publishNow(const std::string& toNode, std::string message) override;
    void announce(const std::string& deviceId) override;
    void withdraw(const std::string& deviceId) override;
    std::optional<std::string> nodeOf(const std::string& deviceId) override;
    Claim claimHost(const std::string& hostDeviceId, const std::string& sessionId) override;
    void holdHost(const std::string& hostDeviceId, const std::string& sessionId) override;
    void releaseHost(const std::string& hostDeviceId, const std::string& sessionId) override;

private:
    // A command to run on the command thread; its context is null while Redis is away.
    using Job = std::function<void(redisContext*)>;

    redisContext* connect() const;
    void enqueue(Job job);
    // Runs `job` on the command thread and waits for it, briefly.
    template <class T> T ask(std::function<T(redisContext*)> job, T unavailable);
    void runCommands();
    void runListener();
    void listen(redisContext* context);
    // Writes every entry this node holds again, with a fresh lifetime.
    void refresh(redisContext* context);
    void removeEntries(redisContext* context);
    void lost(const std::string& reason);
    void waitBeforeRetry(std::chrono::milliseconds pause);

    const Location location;
    const std::string node;
    std::function<void(const std::string&)> receiver;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Job> jobs;
    std::set<std::string> devices;            // announced by this node
    std::map<std::string, std::string> hosts; // host device -> the session this node holds it for
    int listenerSocket = -1;                  // shut down to wake the listener when stopping
    bool stopping = false;
    bool started = false;
    std::thread commands, listener;
};

} // namespace quorlinth::service
