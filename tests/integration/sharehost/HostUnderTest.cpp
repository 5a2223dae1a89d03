#include "HostUnderTest.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace quorlinth::testing {

namespace {

// Starts `arguments` with the XDG homes under `home`; the child's stdin and stdout are the
// given descriptors (stderr follows stdout).
pid_t spawnWithHome(const std::vector<std::string>& arguments, const std::filesystem::path& home, int in,
                    int out) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry)
        if (std::string_view(*entry).rfind("XDG_", 0) != 0) environment.emplace_back(*entry);
    for (auto [variable, folder] : {std::pair{"XDG_CONFIG_HOME", "config"},
                                    std::pair{"XDG_DATA_HOME", "data"}, std::pair{"XDG_STATE_HOME", "state"}})
        environment.push_back(std::string(variable) + "=" + (home / folder).string());
    pid_t pid = fork();
    if (pid != 0) return pid;
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    std::vector<char*> argv, envp;
    for (const auto& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    for (auto& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
}

// Runs the CLI to completion; its exit status and output.
std::pair<int, std::string> runCli(const std::vector<std::string>& arguments,
                                   const std::filesystem::path& home) {
    auto outputPath = home / "last-command.out";
    int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int in = open("/dev/null", O_RDONLY);
    pid_t pid = spawnWithHome(arguments, home, in, out);
    close(in);
    close(out);
    int status = 0;
    waitpid(pid, &status, 0);
    std::ifstream file(outputPath);
    std::stringstream text;
    text << file.rdbuf();
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text.str()};
}

} // namespace

std::vector<std::string> HostUnderTest::lines() const {
    std::lock_guard lock(mutex);
    return written;
}

int HostUnderTest::count(const std::string& text) const {
    std::lock_guard lock(mutex);
    return int(std::count_if(written.begin(), written.end(),
                             [&](const std::string& line) { return line.find(text) != std::string::npos; }));
}

void HostUnderTest::addLine(const std::string& line) {
    std::lock_guard lock(mutex);
    written.push_back(line);
}

InProcessHost::InProcessHost(MacShareHost::Options options, RunLoop& loop) : loop(loop) {
    options.log = [this](const std::string& line) { addLine(line); };
    options.main = &loop;
    host = MacShareHost::create(std::move(options));
    host->onRequest = [this](MacShareHost::Request request, std::function<void(bool)> decide) {
        addLine("请求 " + request.name + (request.guest ? " guest" : " controller=" + request.controllerID));
        open.push_back(std::move(decide));
    };
    host->onConnect = [this] { addLine("状态 已授权"); };
    host->onDisconnect = [this] { addLine("状态 会话结束"); };
    host->inputReady = [this] { return inputReady.load(); };
    host->start();
    pattern = std::make_unique<TestPattern>(640, 360, 30, [weak = std::weak_ptr(host)](SharedPixels pixels) {
        if (auto alive = weak.lock()) alive->cachePixels(std::move(pixels));
    });
}

InProcessHost::~InProcessHost() {
    pattern.reset();
    host->stop();
    // The host's queue may still post callbacks to the loop: wait until the host is gone.
    std::weak_ptr<MacShareHost> gone = host;
    host.reset();
    loop.runUntil([&] { return gone.expired(); }, Millis(10'000));
}

void InProcessHost::decide(bool allow) {
    if (open.empty()) return;
    auto decision = std::move(open.back());
    open.clear();
    decision(allow);
}

void InProcessHost::stop() {
    host->stop();
}

CliHost::CliHost(Options options) {
    std::filesystem::create_directories(options.home);
    std::vector<std::string> cli = {QUORLINTH_CLI_BINARY, "--service", options.base};
    auto withCli = [&](std::vector<std::string> words) {
        std::vector<std::string> arguments = cli;
        arguments.insert(arguments.end(), words.begin(), words.end());
        return arguments;
    };
    auto [loggedIn, loginOutput] = runCli(withCli({"login", options.user, options.password}), options.home);
    if (loggedIn != 0) {
        failure = "login: " + loginOutput;
        return;
    }
    auto [known, identity] = runCli(withCli({"whoami"}), options.home);
    auto tab = identity.find('\t');
    if (known != 0 || tab == std::string::npos) {
        failure = "whoami: " + identity;
        return;
    }
    device = identity.substr(tab + 1, identity.find_first_of("\t\n", tab + 1) - tab - 1);

    std::vector<std::string> share = {"share", "--ice-address", "127.0.0.1", "--pattern-size", "640x360"};
    if (options.relay) share.push_back("--relay");
    // The CLI asks at its terminal only when there is one: its standard input is a pseudo-terminal.
    input = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    int terminalSide = input >= 0 && grantpt(input) == 0 && unlockpt(input) == 0
                           ? open(ptsname(input), O_RDWR | O_NOCTTY | O_CLOEXEC)
                           : -1;
    int fromChild[2];
    if (terminalSide < 0 || pipe2(fromChild, O_CLOEXEC) != 0) {
        failure = "no terminal for the share command";
        device.clear();
        return;
    }
    pid = spawnWithHome(withCli(share), options.home, terminalSide, fromChild[1]);
    close(terminalSide);
    close(fromChild[1]);
    output = fromChild[0];
    reader = std::thread([this] { readLoop(); });
}

CliHost::~CliHost() {
    if (pid > 0) {
        kill(pid, SIGINT);
        int waited = 0;
        while (waitpid(pid, nullptr, WNOHANG) != pid && ++waited < 100)
            usleep(50'000);
        if (waited >= 100) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    if (input >= 0) close(input);
    if (reader.joinable()) reader.join();
    if (output >= 0) close(output);
}

void CliHost::readLoop() {
    std::string buffer;
    char chunk[4096];
    ssize_t count;
    while ((count = read(output, chunk, sizeof chunk)) > 0) {
        buffer.append(chunk, size_t(count));
        size_t end;
        while ((end = buffer.find('\n')) != std::string::npos) {
            addLine(buffer.substr(0, end));
            buffer.erase(0, end + 1);
        }
    }
}

void CliHost::decide(bool allow) {
    std::string answer = allow ? "y\n" : "n\n";
    if (input >= 0) (void)!write(input, answer.data(), answer.size());
}

void CliHost::stop() {
    if (pid > 0) kill(pid, SIGINT);
}

} // namespace quorlinth::testing
