// Figures of the account service on loopback: password sign-ins per second, health latency
// while 200 bogus sign-ins are in flight, signaling sockets held at once and relay round
// trips with 2,000 sockets open, on one node and on two nodes joined by Redis (what the bus
// adds per relayed message). Prints `name value unit` lines.
#include "PostgresServer.h"
#include "RedisServer.h"
#include "ServiceHarness.h"

#include <algorithm>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <cstdio>
#include <sstream>
#include <sys/resource.h>
#include <thread>

using namespace quorlinth;
using namespace quorlinth::testing;

namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr const char* kUser = "bench";
constexpr const char* kPassword = "a long bench password";
constexpr int kSockets = 2000;
constexpr int kRelayPairs = 100;
constexpr int kRoundTripsPerPair = 20;

void report(const std::string& name, double value, const char* unit) {
    std::printf("%s %.4g %s\n", name.c_str(), value, unit);
    std::fflush(stdout);
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size())))];
}

double millisSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

HttpReply login(HttpClient& client, const std::string& name, const std::string& password) {
    return client.request("POST", "/v1/auth/login", "", Json{{"username", name}, {"password", password}});
}

// Production cost, the default hashing pool; only the per-address limits are lifted, since
// every request of the benchmark comes from 127.0.0.1.
std::unique_ptr<TunedService> productionService(const TempDir& dir) {
    addServiceUser(dir.path() / "service.sqlite", kUser, kPassword);
    return std::make_unique<TunedService>(
        dir,
        std::vector<std::string>{
            "--set", "login_attempts_per_address=1000000", "--set", "login_failures_per_address=1000000",
            "--set", "login_failures_global=1000000", "--set", "max_connections_per_address=100000"},
        false);
}

void benchSignIns() {
    TempDir dir;
    auto service = productionService(dir);
    HttpClient client(service->port());
    login(client, kUser, kPassword); // replaces the development-cost hash
    constexpr int kCount = 60;
    std::atomic<int> next{0}, succeeded{0};
    auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            HttpClient own(service->port());
            while (next++ < kCount) {
                HttpReply reply = login(own, kUser, kPassword);
                if (reply.status == 200) ++succeeded;
                if (reply.status == 503) std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        });
    for (auto& thread : threads)
        thread.join();
    report("service_password_signins", succeeded / (millisSince(start) / 1000.0), "per_s");
}

void benchHealthUnderBogusSignIns() {
    TempDir dir;
    auto service = productionService(dir);
    std::atomic<bool> flooding{true};
    std::atomic<int> busy{0}, refused{0};
    auto floodStart = Clock::now();
    std::vector<std::thread> flood;
    for (int t = 0; t < 200; ++t)
        flood.emplace_back([&, t] {
            HttpClient own(service->port());
            for (int i = 0; flooding; ++i) {
                int status =
                    login(own, "nobody-" + std::to_string(t) + "-" + std::to_string(i), "guess").status;
                busy += status == 503;
                refused += status == 401;
            }
        });
    std::this_thread::sleep_for(std::chrono::seconds(1)); // the flood is in full swing
    HttpClient prober(service->port());
    std::vector<double> latencies;
    int failed = 0;
    for (int i = 0; i < 300; ++i) {
        auto start = Clock::now();
        failed += prober.request("GET", "/v1/health").status != 200;
        latencies.push_back(millisSince(start));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    double floodSeconds = millisSince(floodStart) / 1000.0;
    flooding = false;
    for (auto& thread : flood)
        thread.join();
    report("service_bogus_signin_rate", (busy + refused) / floodSeconds, "per_s");
    report("service_health_p50_under_200_bogus_signins", percentile(latencies, 0.5), "ms");
    report("service_health_p99_under_200_bogus_signins", percentile(latencies, 0.99), "ms");
    report("service_health_failures_under_200_bogus_signins", failed, "requests");
    report("service_bogus_signins_checked", refused, "requests");
    report("service_bogus_signins_refused_busy", busy, "requests");
    // The service's own time per health request (header read to answer written): the rest of
    // the latency above is waiting to be accepted and read.
    std::vector<double> handled;
    std::istringstream log(service->logText());
    for (std::string line; std::getline(log, line);)
        if (line.rfind("GET /v1/health 200 ", 0) == 0) handled.push_back(std::stod(line.substr(19)));
    report("service_health_handling_p99_under_200_bogus_signins", percentile(handled, 0.99), "ms");
}

// Many signaling sockets on one I/O thread.
class SocketFleet {
public:
    struct Socket {
        explicit Socket(net::io_context& io) : ws(io) {}
        websocket::stream<beast::tcp_stream> ws;
        beast::flat_buffer buffer;
        std::function<void(const std::string&)> onFrame;
    };

    bool add(uint16_t port, const BoundDevice& device) {
        auto socket = std::make_unique<Socket>(io);
        beast::error_code error;
        beast::get_lowest_layer(socket->ws)
            .socket()
            .connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port), error);
        if (error) return false;
        socket->ws.set_option(websocket::stream_base::decorator([&](websocket::request_type& request) {
            request.set(beast::http::field::authorization, "Bearer " + device.token);
            request.set("X-Device-ID", device.id);
        }));
        socket->ws.handshake("127.0.0.1", "/v1/signal", error);
        if (error) return false;
        socket->ws.read(socket->buffer, error); // "ready"
        if (error) return false;
        socket->buffer.consume(socket->buffer.size());
        socket->ws.text(true);
        sockets.push_back(std::move(socket));
        return true;
    }

    void startReading() {
        for (auto& socket : sockets)
            read(*socket);
        thread = std::thread([this] {
            auto guard = net::make_work_guard(io);
            io.run();
        });
    }

    Socket& at(size_t index) { return *sockets.at(index); }
    size_t size() const { return sockets.size(); }

    void send(Socket& socket, std::string text) {
        net::post(io, [&socket, text = std::make_shared<std::string>(std::move(text))] {
            socket.ws.async_write(net::buffer(*text), [text](beast::error_code, size_t) {});
        });
    }

    void stop() {
        io.stop();
        if (thread.joinable()) thread.join();
    }

private:
    void read(Socket& socket) {
        socket.ws.async_read(socket.buffer, [this, &socket](beast::error_code error, size_t) {
            if (error) return;
            std::string text = beast::buffers_to_string(socket.buffer.data());
            socket.buffer.consume(socket.buffer.size());
            if (socket.onFrame) socket.onFrame(text);
            read(socket);
        });
    }

    net::io_context io;
    std::vector<std::unique_ptr<Socket>> sockets;
    std::thread thread;
};

void raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// What a relay run measured: sockets held, their mean opening time and the round trips.
struct RelayFigures {
    size_t held = 0;
    double openMean = 0;
    std::vector<double> roundTrips;
};

// `sockets` signaling sockets of one account, hosts (even) on the node at `hostPort` and
// controllers (odd) on the node at `controllerPort`; the first kRelayPairs pairs hold accepted
// sessions in which each host echoes a candidate back and the controller times the round trip.
RelayFigures measureRelay(uint16_t hostPort, uint16_t controllerPort, int sockets) {
    RelayFigures figures;
    HttpClient hostNode(hostPort), controllerNode(controllerPort);
    std::string account = field::string(login(hostNode, kUser, kPassword).json(), "access_token", "");
    std::vector<BoundDevice> devices;
    for (int i = 0; i < sockets; ++i)
        devices.push_back(
            bindDevice(hostNode, account, "BENCH-" + std::to_string(i), "设备 " + std::to_string(i)));
    SocketFleet fleet;
    auto start = Clock::now();
    for (size_t i = 0; i < devices.size(); ++i)
        if (!fleet.add(i % 2 == 0 ? hostPort : controllerPort, devices[i])) break;
    figures.held = fleet.size();
    figures.openMean = millisSince(start) / double(std::max<size_t>(fleet.size(), 1));
    if (fleet.size() < size_t(2 * kRelayPairs)) return figures;

    // Sessions between pairs (host 2k, controller 2k+1), each accepted before the fleet reads.
    std::vector<std::string> sessionIds;
    for (int pair = 0; pair < kRelayPairs; ++pair) {
        const BoundDevice& host = devices[size_t(2 * pair)];
        const BoundDevice& controller = devices[size_t(2 * pair + 1)];
        sendHeartbeat(hostNode, host, true, true, true);
        HttpReply created = controllerNode.request(
            "POST", "/v1/sessions", account, Json{{"device_id", host.id}, {"controller_id", controller.id}});
        std::string id = field::string(created.json(), "session_id", "");
        sessionIds.push_back(id);
        auto& hostSocket = fleet.at(size_t(2 * pair));
        beast::error_code error;
        hostSocket.ws.read(hostSocket.buffer, error); // "request"
        hostSocket.buffer.consume(hostSocket.buffer.size());
        hostSocket.ws.write(net::buffer(dumpJson(Json{{"type", "accept"}, {"session_id", id}})), error);
        auto& controllerSocket = fleet.at(size_t(2 * pair + 1));
        controllerSocket.ws.read(controllerSocket.buffer, error); // "accepted"
        controllerSocket.buffer.consume(controllerSocket.buffer.size());
    }

    std::mutex mutex;
    std::condition_variable returned;
    std::vector<Clock::time_point> sentAt(kRelayPairs);
    for (int pair = 0; pair < kRelayPairs; ++pair) {
        auto& hostSocket = fleet.at(size_t(2 * pair));
        hostSocket.onFrame = [&fleet, &hostSocket](const std::string& text) { fleet.send(hostSocket, text); };
        fleet.at(size_t(2 * pair + 1)).onFrame = [&, pair](const std::string&) {
            std::lock_guard lock(mutex);
            figures.roundTrips.push_back(millisSince(sentAt[size_t(pair)]));
            returned.notify_all();
        };
    }
    fleet.startReading();
    for (int round = 0; round < kRoundTripsPerPair; ++round) {
        size_t expected;
        {
            std::lock_guard lock(mutex);
            expected = figures.roundTrips.size() + kRelayPairs;
        }
        for (int pair = 0; pair < kRelayPairs; ++pair) {
            {
                std::lock_guard lock(mutex);
                sentAt[size_t(pair)] = Clock::now();
            }
            fleet.send(
                fleet.at(size_t(2 * pair + 1)),
                dumpJson(Json{{"type", "ice"},
                              {"session_id", sessionIds[size_t(pair)]},
                              {"candidate", "candidate:1 1 udp 2122260223 127.0.0.1 50000 typ host"}}));
        }
        std::unique_lock lock(mutex);
        if (!returned.wait_for(lock, std::chrono::seconds(10),
                               [&] { return figures.roundTrips.size() >= expected; }))
            break;
    }
    fleet.stop();
    std::lock_guard lock(mutex);
    return figures;
}

void reportRelay(const RelayFigures& figures, const std::string& setting) {
    report("service_signal_sockets_held" + setting, double(figures.held), "sockets");
    report("service_signal_socket_open_mean" + setting, figures.openMean, "ms");
    report("service_relay_round_trips" + setting, double(figures.roundTrips.size()), "samples");
    report("service_relay_round_trip_p50" + setting, percentile(figures.roundTrips, 0.5), "ms");
    report("service_relay_round_trip_p99" + setting, percentile(figures.roundTrips, 0.99), "ms");
}

const std::vector<std::string> kRelayLimits = {"--set", "device_limit=100000", "--set",
                                               "max_connections_per_address=100000"};

void benchSignaling() {
    TempDir dir;
    addServiceUser(dir.path() / "service.sqlite", kUser, kPassword);
    TunedService service(dir, kRelayLimits);
    reportRelay(measureRelay(service.port(), service.port(), kSockets), "_with_2000_sockets");
}

// A node on a PostgreSQL database, joined to others through `bus` when given.
struct Node {
    Node(const std::string& database, const std::filesystem::path& key, const std::string& bus) {
        ServiceProcess::Options options;
        options.databaseUrl = database;
        options.secretFile = key;
        options.extraArguments = kRelayLimits;
        if (!bus.empty()) options.extraArguments.insert(options.extraArguments.end(), {"--bus", bus});
        process = std::make_unique<ServiceProcess>(dir, options);
    }
    TempDir dir;
    std::unique_ptr<ServiceProcess> process;
};

// One node on PostgreSQL without a bus, then two on PostgreSQL joined by Redis with every host on
// one node and every controller on the other, so each relayed message crosses the bus.
void benchCluster() {
    PostgresServer postgres;
    RedisServer redis;
    if (!postgres.started() || !redis.started()) {
        std::fprintf(stderr, "cluster: %s%s\n", postgres.failure().c_str(), redis.failure().c_str());
        return;
    }
    TempDir keys;
    RelayFigures one, two;
    {
        std::string database = postgres.createDatabase();
        addServiceUserTo(database, keys.path() / "add-user.log", kUser, kPassword);
        Node single(database, keys.path() / "one.key", "");
        if (!single.process->started()) return;
        one = measureRelay(single.process->port(), single.process->port(), kSockets);
    }
    {
        std::string database = postgres.createDatabase();
        addServiceUserTo(database, keys.path() / "add-user.log", kUser, kPassword);
        Node a(database, keys.path() / "two.key", redis.url()),
            b(database, keys.path() / "two.key", redis.url());
        if (!a.process->started() || !b.process->started()) return;
        two = measureRelay(a.process->port(), b.process->port(), kSockets);
    }
    reportRelay(one, "_one_node_postgresql");
    reportRelay(two, "_two_nodes_redis_bus");
    // A round trip is two relayed messages, each crossing the bus once.
    report("service_bus_cost_per_relayed_message_p50",
           (percentile(two.roundTrips, 0.5) - percentile(one.roundTrips, 0.5)) / 2, "ms");
    report("service_bus_cost_per_relayed_message_p99",
           (percentile(two.roundTrips, 0.99) - percentile(one.roundTrips, 0.99)) / 2, "ms");
}

} // namespace

// Runs every part, or only those named on the command line (signins, health, signaling, cluster).
int main(int argc, char** argv) {
    raiseDescriptorLimit();
    std::vector<std::string> only(argv + 1, argv + argc);
    auto wanted = [&](const std::string& part) {
        return only.empty() || std::find(only.begin(), only.end(), part) != only.end();
    };
    if (wanted("signins")) benchSignIns();
    if (wanted("health")) benchHealthUnderBogusSignIns();
    if (wanted("signaling")) benchSignaling();
    if (wanted("cluster")) benchCluster();
    return 0;
}
