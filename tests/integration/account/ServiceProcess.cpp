#include "ServiceProcess.h"

#include "ScriptedHttpServer.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <future>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quorlinth::testing {

namespace {

constexpr int kStartTimeoutMs = 30'000;

std::string readLine(int fd, int timeoutMs) {
    std::string line;
    pollfd waiting{fd, POLLIN, 0};
    while (poll(&waiting, 1, timeoutMs) > 0) {
        char c;
        if (read(fd, &c, 1) != 1) break;
        if (c == '\n') return line;
        line.push_back(c);
    }
    return {};
}

std::string readAll(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof(buffer))) > 0)
        text.append(buffer, size_t(n));
    return text;
}

// The first run of exactly six digits: the code inside the message text.
std::optional<std::string> sixDigits(const std::string& text) {
    auto digit = [&](size_t i) { return text[i] >= '0' && text[i] <= '9'; };
    size_t i = 0;
    while (i < text.size()) {
        if (!digit(i)) {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < text.size() && digit(end))
            ++end;
        if (end - i == 6) return text.substr(i, 6);
        i = end;
    }
    return std::nullopt;
}

std::vector<char*> argv(std::vector<std::string>& words) {
    std::vector<char*> pointers;
    for (auto& word : words)
        pointers.push_back(word.data());
    pointers.push_back(nullptr);
    return pointers;
}

} // namespace

std::filesystem::path buildDirectory() {
    const char* built = std::getenv("QUORLINTH_BINARY_DIR");
    return built && *built ? std::filesystem::path(built) : std::filesystem::path(QUORLINTH_BUILD_ROOT);
}

std::filesystem::path ServiceProcess::binary() {
    return buildDirectory() / "service" / "quorlinth-service";
}

ServiceProcess::ServiceProcess(std::optional<ScriptedHttpServer::TlsFiles> tls)
    : work(makeTemporaryFolder("quorlinth-service-")) {
    int fds[2];
    if (pipe(fds) != 0) return;
    std::vector<std::string> words{
        binary().string(), "--listen", "127.0.0.1:0", "--db", (work / "service.db").string(), "--dev"};
    if (tls)
        words.insert(words.end(),
                     {"--tls-cert", tls->certificate.string(), "--tls-key", tls->privateKey.string()});
    pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        close(fds[1]);
        int quiet = open((work / "service.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (quiet >= 0) dup2(quiet, STDERR_FILENO);
        auto pointers = argv(words);
        execv(pointers[0], pointers.data());
        _exit(127);
    }
    close(fds[1]);
    output = fds[0]; // kept open so that later output does not end the service with SIGPIPE
    if (pid > 0) base = readLine(output, kStartTimeoutMs);
}

ServiceProcess::~ServiceProcess() {
    if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    if (output >= 0) close(output);
    std::filesystem::remove_all(work);
}

bool ServiceProcess::addUser(const std::string& username, const std::string& password,
                             const std::optional<std::string>& phone) {
    std::vector<std::string> arguments{"add-user", "--db",   (work / "service.db").string(),
                                       "--dev",    username, password};
    if (phone) {
        arguments.push_back("--phone");
        arguments.push_back(*phone);
    }
    return runProgram(binary(), arguments, {}).exitCode == 0;
}

std::optional<net::HttpResponse> ServiceProcess::raw(const std::string& method, const std::string& path,
                                                     const std::string& token,
                                                     const std::optional<Json>& body) {
    net::HttpRequest request;
    request.method = method;
    request.url = base + path;
    request.headers.emplace_back("Content-Type", "application/json");
    if (!token.empty()) request.headers.emplace_back("Authorization", "Bearer " + token);
    if (body) request.body = body->dump();
    std::promise<Result<net::HttpResponse>> promise;
    auto answer = promise.get_future();
    http.send(request, [&](Result<net::HttpResponse> result) { promise.set_value(std::move(result)); });
    if (answer.wait_for(std::chrono::seconds(30)) != std::future_status::ready) return std::nullopt;
    auto result = answer.get();
    if (!result) return std::nullopt;
    return result.value();
}

std::optional<Json> ServiceProcess::call(const std::string& method, const std::string& path,
                                         const std::string& token, const std::optional<Json>& body) {
    auto response = raw(method, path, token, body);
    if (!response || response->status / 100 != 2) return std::nullopt;
    return parseJsonObject(response->body);
}

std::optional<std::string> ServiceProcess::captchaAnswer(const std::string& captchaID) {
    auto answer = call("GET", "/v1/dev/captchas/" + captchaID);
    return answer ? field::string(*answer, "answer") : std::nullopt;
}

std::optional<std::string> ServiceProcess::lastSmsCode(const std::string& phone) {
    auto outbox = call("GET", "/v1/dev/outbox");
    const Json* messages = outbox ? field::array(*outbox, "messages") : nullptr;
    if (!messages) return std::nullopt;
    std::optional<std::string> code;
    for (const Json& message : *messages)
        if (field::string(message, "phone") == phone)
            if (auto digits = sixDigits(field::string(message, "text", ""))) code = digits;
    return code;
}

bool ServiceProcess::advanceClock(int64_t seconds) {
    return call("POST", "/v1/dev/clock", {}, Json{{"advance", seconds}}).has_value();
}

ProgramRun runProgram(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                      const std::vector<std::pair<std::string, std::string>>& environment) {
    ProgramRun run;
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) return run;
    std::vector<std::string> words{program.string()};
    words.insert(words.end(), arguments.begin(), arguments.end());
    pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        for (int fd : {out[0], out[1], err[0], err[1]})
            close(fd);
        for (const auto& [name, value] : environment)
            setenv(name.c_str(), value.c_str(), 1);
        auto pointers = argv(words);
        execv(pointers[0], pointers.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    // Reads stderr on the side so that neither pipe can fill up and stall the child.
    auto errors = std::async(std::launch::async, [fd = err[0]] { return readAll(fd); });
    run.out = readAll(out[0]);
    run.err = errors.get();
    close(out[0]);
    close(err[0]);
    int status = 0;
    if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status))
        run.exitCode = WEXITSTATUS(status);
    return run;
}

} // namespace quorlinth::testing
