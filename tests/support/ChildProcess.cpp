#include "ChildProcess.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace quorlinth::testing {

namespace {

constexpr int kRunLimitSeconds = 120;

int openOutput(const std::filesystem::path& path, bool append) {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC), 0600);
}

// In the child: sets up its output and environment and becomes the program.
[[noreturn]] void become(const std::vector<std::string>& arguments, const Environment& environment, int out,
                         int err) {
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    for (const auto& [name, value] : environment) {
        if (value.empty())
            unsetenv(name.c_str());
        else
            setenv(name.c_str(), value.c_str(), 1);
    }
    std::vector<char*> argv;
    for (const auto& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

} // namespace

TempDir::TempDir() {
    std::random_device random;
    root = std::filesystem::temp_directory_path() / ("quorlinth-test-" + std::to_string(random()));
    std::filesystem::create_directories(root);
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
}

ChildProcess::ChildProcess(const std::vector<std::string>& arguments, const Environment& environment,
                           std::filesystem::path output, std::optional<std::filesystem::path> errorOutput)
    : output(std::move(output)) {
    int out = openOutput(this->output, false);
    int err = errorOutput ? openOutput(*errorOutput, false) : out;
    pid = fork();
    if (pid == 0) become(arguments, environment, out, err);
    close(out);
    if (err != out) close(err);
}

ChildProcess::~ChildProcess() {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    if (wait(10) || pid <= 0) return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

std::optional<int> ChildProcess::wait(int seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (pid > 0) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::nullopt;
}

bool ChildProcess::running() {
    return pid > 0 && !wait(0);
}

std::string ChildProcess::outputText() const {
    return readTextFile(output);
}

ProgramRun runProgram(const std::vector<std::string>& arguments, const Environment& environment) {
    TempDir dir;
    ProgramRun run;
    {
        ChildProcess child(arguments, environment, dir.path() / "out", dir.path() / "err");
        run.exitCode = child.wait(kRunLimitSeconds).value_or(-1);
    }
    run.out = readTextFile(dir.path() / "out");
    run.err = readTextFile(dir.path() / "err");
    return run;
}

int runProgram(const std::vector<std::string>& arguments, const std::filesystem::path& output) {
    int fd = openOutput(output, true);
    pid_t pid = fork();
    if (pid == 0) become(arguments, {}, fd, fd);
    close(fd);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string readTextFile(const std::filesystem::path& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

} // namespace quorlinth::testing
