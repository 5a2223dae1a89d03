#include "RedisBus.h"

#include "Secrets.h"
#include "base/Json.h"

#include <cstdio>
#include <future>
#include <hiredis/hiredis.h>
#include <memory>
#include <sys/socket.h>
#include <vector>

namespace quorlinth::service {

namespace {

const std::string kPrefix = "quorlinth:";
constexpr std::chrono::milliseconds kAnswerWait{2000};
constexpr std::chrono::milliseconds kFirstRetry{250};
constexpr std::chrono::milliseconds kLongestRetry{5000};

// Sets KEYS[1] to ARGV[1] for ARGV[2] seconds unless another value holds it.
const char* kRefreshScript = "local v = redis.call('GET', KEYS[1]) "
                             "if v == false or v == ARGV[1] then "
                             "redis.call('SET', KEYS[1], ARGV[1], 'EX', ARGV[2]) return 1 end return 0";
// Deletes KEYS[1] only while it still holds ARGV[1]: a newer owner keeps its entry.
const char* kRemoveScript = "if redis.call('GET', KEYS[1]) == ARGV[1] then "
                            "return redis.call('DEL', KEYS[1]) end return 0";

struct ReplyDeleter {
    void operator()(redisReply* reply) const { freeReplyObject(reply); }
};
using Reply = std::unique_ptr<redisReply, ReplyDeleter>;

Reply command(redisContext* context, const std::vector<std::string>& arguments) {
    if (!context) return nullptr;
    std::vector<const char*> pointers;
    std::vector<size_t> lengths;
    for (const std::string& argument : arguments) {
        pointers.push_back(argument.data());
        lengths.push_back(argument.size());
    }
    return Reply(static_cast<redisReply*>(
        redisCommandArgv(context, int(arguments.size()), pointers.data(), lengths.data())));
}

// Sends the commands at once and reads their answers; false when the connection failed.
bool pipeline(redisContext* context, const std::vector<std::vector<std::string>>& batch) {
    for (const auto& arguments : batch) {
        std::vector<const char*> pointers;
        std::vector<size_t> lengths;
        for (const std::string& argument : arguments) {
            pointers.push_back(argument.data());
            lengths.push_back(argument.size());
        }
        if (redisAppendCommandArgv(context, int(arguments.size()), pointers.data(), lengths.data()) !=
            REDIS_OK)
            return false;
    }
    for (size_t i = 0; i < batch.size(); ++i) {
        void* reply = nullptr;
        if (redisGetReply(context, &reply) != REDIS_OK) return false;
        freeReplyObject(reply);
    }
    return true;
}

std::string deviceKey(const std::string& deviceId) {
    return kPrefix + "device:" + deviceId;
}
std::string hostingKey(const std::string& deviceId) {
    return kPrefix + "hosting:" + deviceId;
}
std::string channelOf(const std::string& node) {
    return kPrefix + "node:" + node;
}
std::string lifetime() {
    return std::to_string(RedisBus::kEntryLifetime.count());
}

std::vector<std::string> refreshCommand(const std::string& key, const std::string& value) {
    return {"EVAL", kRefreshScript, "1", key, value, lifetime()};
}
std::vector<std::string> removeCommand(const std::string& key, const std::string& value) {
    return {"EVAL", kRemoveScript, "1", key, value};
}

timeval toTimeval(std::chrono::milliseconds duration) {
    return timeval{time_t(duration.count() / 1000), suseconds_t(duration.count() % 1000 * 1000)};
}

} // namespace

std::string RedisBus::Location::describe() const {
    return socketPath.empty() ? host + ":" + std::to_string(port) : socketPath;
}

Result<RedisBus::Location> RedisBus::parseUrl(const std::string& url) {
    const std::string scheme = "redis://";
    const Error invalid{"--bus takes redis://HOST[:PORT] or redis:///path/to/redis.sock"};
    if (url.rfind(scheme, 0) != 0) return invalid;
    std::string rest = url.substr(scheme.size());
    if (rest.find('@') != std::string::npos)
        return Error{"the --bus URL must not carry credentials (they would show in the process list): "
                     "reach Redis on a unix socket or a private address"};
    Location location;
    if (rest.rfind('/', 0) == 0) {
        location.socketPath = rest;
        return rest.size() > 1 ? Result<Location>(location) : Result<Location>(invalid);
    }
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    if (rest.empty() || rest.find('/') != std::string::npos || rest.find('?') != std::string::npos)
        return invalid;
    std::string port;
    if (rest.front() == '[') {
        auto close = rest.find(']');
        if (close == std::string::npos) return invalid;
        location.host = rest.substr(1, close - 1);
        if (close + 1 < rest.size()) {
            if (rest[close + 1] != ':') return invalid;
            port = rest.substr(close + 2);
        }
    } else if (auto colon = rest.find(':'); colon != std::string::npos) {
        location.host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
    } else {
        location.host = rest;
    }
    if (location.host.empty()) return invalid;
    if (!port.empty()) {
        if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return invalid;
        location.port = std::stoi(port);
        if (location.port < 1 || location.port > 65535) return invalid;
    }
    return location;
}

RedisBus::RedisBus(Location location)
    : location(std::move(location)), node(randomText(12, "abcdefghijklmnopqrstuvwxyz0123456789")) {}

RedisBus::~RedisBus() {
    stop();
}

void RedisBus::start(std::function<void(const std::string& message)> receive) {
    std::lock_guard lock(mutex);
    if (started || stopping) return;
    started = true;
    receiver = std::move(receive);
    commands = std::thread([this] { runCommands(); });
    listener = std::thread([this] { runListener(); });
}

void RedisBus::stop() {
    {
        std::lock_guard lock(mutex);
        if (stopping) return;
        stopping = true;
        if (listenerSocket >= 0) shutdown(listenerSocket, SHUT_RDWR);
    }
    wake.notify_all();
    if (commands.joinable()) commands.join();
    if (listener.joinable()) listener.join();
}

redisContext* RedisBus::connect() const {
    timeval timeout = toTimeval(std::chrono::seconds(1));
    redisContext* context = location.socketPath.empty()
                                ? redisConnectWithTimeout(location.host.c_str(), location.port, timeout)
                                : redisConnectUnixWithTimeout(location.socketPath.c_str(), timeout);
    if (context && context->err) {
        redisFree(context);
        return nullptr;
    }
    return context;
}

void RedisBus::enqueue(Job job) {
    {
        std::unique_lock lock(mutex);
        if (!stopping && started) {
            jobs.push_back(std::move(job));
            lock.unlock();
            wake.notify_all();
            return;
        }
    }
    job(nullptr); // not running: nothing to reach, and whoever waits learns it at once
}

template <class T> T RedisBus::ask(std::function<T(redisContext*)> job, T unavailable) {
    auto answer = std::make_shared<std::promise<T>>();
    auto future = answer->get_future();
    enqueue([job = std::move(job), answer](redisContext* context) { answer->set_value(job(context)); });
    if (future.wait_for(kAnswerWait) != std::future_status::ready) return unavailable;
    return future.get();
}

void RedisBus::publish(const std::string& toNode, std::string message) {
    enqueue([channel = channelOf(toNode), message = std::move(message)](redisContext* context) {
        command(context, {"PUBLISH", channel, message});
    });
}

bool RedisBus::publishNow(const std::string& toNode, std::string message) {
    return ask<bool>(
        [channel = channelOf(toNode), message = std::move(message)](redisContext* context) {
            Reply reply = command(context, {"PUBLISH", channel, message});
            return reply && reply->type == REDIS_REPLY_INTEGER;
        },
        false);
}

void RedisBus::announce(const std::string& deviceId) {
    {
        std::lock_guard lock(mutex);
        devices.insert(deviceId);
    }
    enqueue([this, deviceId](redisContext* context) {
        Reply previous = command(context, {"SET", deviceKey(deviceId), node, "EX", lifetime(), "GET"});
        if (!previous || previous->type != REDIS_REPLY_STRING) return;
        std::string older(previous->str, previous->len);
        // The device opened a socket here while one was still open on another node.
        if (older != node)
            command(context, {"PUBLISH", channelOf(older),
                              dumpJson(Json{{"kind", "disconnect"}, {"device", deviceId}, {"from", node}})});
    });
}

void RedisBus::withdraw(const std::string& deviceId) {
    {
        std::lock_guard lock(mutex);
        devices.erase(deviceId);
    }
    enqueue([this, deviceId](redisContext* context) {
        command(context, removeCommand(deviceKey(deviceId), node));
    });
}

std::optional<std::string> RedisBus::nodeOf(const std::string& deviceId) {
    using Answer = std::optional<std::string>;
    return ask<Answer>(
        [deviceId](redisContext* context) -> Answer {
            Reply reply = command(context, {"GET", deviceKey(deviceId)});
            if (!reply || reply->type != REDIS_REPLY_STRING) return std::nullopt;
            return std::string(reply->str, reply->len);
        },
        std::nullopt);
}

SignalBus::Claim RedisBus::claimHost(const std::string& hostDeviceId, const std::string& sessionId) {
    return ask<Claim>(
        [hostDeviceId, sessionId](redisContext* context) {
            Reply reply =
                command(context, {"SET", hostingKey(hostDeviceId), sessionId, "NX", "EX", lifetime()});
            if (!reply || reply->type == REDIS_REPLY_ERROR) return Claim::unavailable;
            return reply->type == REDIS_REPLY_NIL ? Claim::taken : Claim::claimed;
        },
        Claim::unavailable);
}

void RedisBus::holdHost(const std::string& hostDeviceId, const std::string& sessionId) {
    {
        std::lock_guard lock(mutex);
        hosts[hostDeviceId] = sessionId;
    }
    enqueue([hostDeviceId, sessionId](redisContext* context) {
        command(context, refreshCommand(hostingKey(hostDeviceId), sessionId));
    });
}

void RedisBus::releaseHost(const std::string& hostDeviceId, const std::string& sessionId) {
    {
        std::lock_guard lock(mutex);
        if (auto held = hosts.find(hostDeviceId); held != hosts.end() && held->second == sessionId)
            hosts.erase(held);
    }
    enqueue([hostDeviceId, sessionId](redisContext* context) {
        command(context, removeCommand(hostingKey(hostDeviceId), sessionId));
    });
}

void RedisBus::refresh(redisContext* context) {
    std::vector<std::vector<std::string>> batch;
    {
        std::lock_guard lock(mutex);
        for (const std::string& device : devices)
            batch.push_back(refreshCommand(deviceKey(device), node));
        for (const auto& [host, session] : hosts)
            batch.push_back(refreshCommand(hostingKey(host), session));
    }
    pipeline(context, batch);
}

// On an orderly stop this node's devices go offline at once rather than when they expire.
void RedisBus::removeEntries(redisContext* context) {
    std::vector<std::vector<std::string>> batch;
    std::lock_guard lock(mutex);
    for (const std::string& device : devices)
        batch.push_back(removeCommand(deviceKey(device), node));
    for (const auto& [host, session] : hosts)
        batch.push_back(removeCommand(hostingKey(host), session));
    pipeline(context, batch);
}

void RedisBus::lost(const std::string& reason) {
    std::fprintf(stderr,
                 "signaling bus: lost Redis at %s (%s); serving this node's sockets only, reconnecting\n",
                 location.describe().c_str(), reason.c_str());
}

void RedisBus::runCommands() {
    using Clock = std::chrono::steady_clock;
    redisContext* context = nullptr;
    bool everConnected = false, reportedAway = false;
    auto retry = kFirstRetry;
    auto nextAttempt = Clock::now(), nextRefresh = Clock::now() + kRefreshInterval;
    std::unique_lock lock(mutex);
    while (!stopping) {
        wake.wait_until(lock, context ? nextRefresh : nextAttempt,
                        [this] { return stopping || !jobs.empty(); });
        if (stopping) break;
        std::deque<Job> batch;
        batch.swap(jobs);
        lock.unlock();
        auto now = Clock::now();
        if (!context && now >= nextAttempt) {
            context = connect();
            if (context) {
                redisSetTimeout(context, toTimeval(kAnswerWait));
                std::fprintf(stderr, "signaling bus: %s Redis at %s as node %s\n",
                             everConnected ? "reconnected to" : "connected to", location.describe().c_str(),
                             node.c_str());
                everConnected = true;
                reportedAway = false;
                retry = kFirstRetry;
                refresh(context);
                nextRefresh = now + kRefreshInterval;
            } else {
                if (!reportedAway) lost("cannot connect");
                reportedAway = true;
                nextAttempt = now + retry;
                retry = std::min(retry * 2, kLongestRetry);
            }
        }
        for (Job& job : batch)
            job(context);
        if (context && now >= nextRefresh) {
            refresh(context);
            nextRefresh = now + kRefreshInterval;
        }
        if (context && context->err) {
            if (!reportedAway) lost(context->errstr);
            reportedAway = true;
            redisFree(context);
            context = nullptr;
            nextAttempt = Clock::now();
        }
        lock.lock();
    }
    // Whoever waits for an answer hears that there is none.
    std::deque<Job> left;
    left.swap(jobs);
    lock.unlock();
    for (Job& job : left)
        job(nullptr);
    if (context) {
        removeEntries(context);
        redisFree(context);
    }
}

void RedisBus::runListener() {
    auto retry = kFirstRetry;
    while (true) {
        {
            std::lock_guard lock(mutex);
            if (stopping) return;
        }
        redisContext* context = connect();
        if (context) {
            retry = kFirstRetry;
            listen(context);
            redisFree(context);
        } else {
            retry = std::min(retry * 2, kLongestRetry);
        }
        waitBeforeRetry(retry);
    }
}

void RedisBus::listen(redisContext* context) {
    {
        std::lock_guard lock(mutex);
        if (stopping) return;
        listenerSocket = context->fd;
    }
    redisSetTimeout(context, timeval{0, 0}); // a quiet channel is no failure
    Reply subscribed = command(context, {"SUBSCRIBE", channelOf(node)});
    while (subscribed && !context->err) {
        void* raw = nullptr;
        if (redisGetReply(context, &raw) != REDIS_OK) break;
        Reply reply(static_cast<redisReply*>(raw));
        if (reply && reply->type == REDIS_REPLY_ARRAY && reply->elements == 3 &&
            reply->element[2]->type == REDIS_REPLY_STRING)
            receiver(std::string(reply->element[2]->str, reply->element[2]->len));
    }
    std::lock_guard lock(mutex);
    listenerSocket = -1;
}

void RedisBus::waitBeforeRetry(std::chrono::milliseconds pause) {
    std::unique_lock lock(mutex);
    wake.wait_for(lock, pause, [this] { return stopping; });
}

} // namespace quorlinth::service
