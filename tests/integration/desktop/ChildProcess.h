#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quorlinth::testing {

// A program running beside the test with extra environment variables, its standard output and
// error in one file; stopped with SIGTERM (then SIGKILL) when the object goes.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& arguments,
                 const std::map<std::string, std::string>& environment, std::filesystem::path output);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid > 0; }
    std::string outputText() const;
    // Waits up to `seconds` for the program to end; its exit status, or none if it still runs.
    std::optional<int> wait(int seconds);

private:
    int pid = -1;
    std::filesystem::path output;
};

} // namespace quorlinth::testing
