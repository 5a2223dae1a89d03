#include "PeerProcess.h"

#include <csignal>
#include <cstdio>
#include <sys/wait.h>
#include <unistd.h>

namespace quorlinth::testing {

PeerProcess::PeerProcess(std::vector<std::string> arguments) {
    int toChild[2], fromChild[2];
    if (pipe(toChild) != 0 || pipe(fromChild) != 0) return;
    pid = fork();
    if (pid == 0) {
        dup2(toChild[0], 0);
        dup2(fromChild[1], 1);
        close(toChild[1]);
        close(fromChild[0]);
        std::vector<char*> argv;
        for (auto& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    input = toChild[1];
    output = fromChild[0];
    reader = std::thread([this] { readLoop(); });
}

PeerProcess::~PeerProcess() {
    if (input >= 0) {
        send({{"cmd", "quit"}});
        close(input);
    }
    if (pid > 0) {
        // A clean exit is part of what is tested; a stuck child is killed after a grace period.
        for (int waited = 0; waited < 200; ++waited) {
            if (waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = -1;
                break;
            }
            usleep(50'000);
        }
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    if (reader.joinable()) reader.join();
    if (output >= 0) close(output);
}

void PeerProcess::kill() {
    if (pid > 0) {
        ::kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
}

void PeerProcess::send(const Json& command) {
    std::string line = command.dump() + "\n";
    std::lock_guard lock(mutex);
    size_t written = 0;
    while (input >= 0 && written < line.size()) {
        ssize_t count = write(input, line.data() + written, line.size() - written);
        if (count <= 0) break;
        written += static_cast<size_t>(count);
    }
}

void PeerProcess::readLoop() {
    std::string buffer;
    char chunk[65536];
    for (;;) {
        ssize_t count = read(output, chunk, sizeof chunk);
        if (count <= 0) break;
        buffer.append(chunk, static_cast<size_t>(count));
        size_t newline;
        while ((newline = buffer.find('\n')) != std::string::npos) {
            auto event = parseJsonObject(std::string_view(buffer).substr(0, newline));
            buffer.erase(0, newline + 1);
            if (!event) continue;
            PeerProcess* target = nullptr;
            {
                std::lock_guard lock(mutex);
                received.push_back(*event);
                target = relayTarget;
            }
            if (target && field::string(*event, "event").value_or("") == "signal") {
                Json command = *event;
                command.erase("event");
                command["cmd"] = "signal";
                target->send(command);
            }
            changed.notify_all();
        }
    }
    changed.notify_all();
}

void PeerProcess::relaySignalsTo(PeerProcess& other) {
    std::vector<Json> earlier;
    {
        std::lock_guard lock(mutex);
        relayTarget = &other;
        earlier = received;
    }
    for (const auto& event : earlier) {
        if (field::string(event, "event").value_or("") != "signal") continue;
        Json command = event;
        command.erase("event");
        command["cmd"] = "signal";
        other.send(command);
    }
}

std::optional<Json> PeerProcess::waitFor(const std::function<bool(const Json&)>& match,
                                         std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    size_t checked = 0;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        for (; checked < received.size(); ++checked)
            if (match(received[checked])) return received[checked];
        if (changed.wait_until(lock, deadline) == std::cv_status::timeout) {
            for (; checked < received.size(); ++checked)
                if (match(received[checked])) return received[checked];
            return std::nullopt;
        }
    }
}

std::optional<Json> PeerProcess::waitForEvent(const std::string& name, std::chrono::milliseconds timeout) {
    return waitFor([&](const Json& event) { return field::string(event, "event").value_or("") == name; },
                   timeout);
}

std::vector<Json> PeerProcess::events() {
    std::lock_guard lock(mutex);
    return received;
}

} // namespace quorlinth::testing
