#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quorlinth::testing {

// A fresh directory under the system temporary directory, removed with the object.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return root; }

private:
    std::filesystem::path root;
};

// Variables set for a child; an empty value removes the variable.
using Environment = std::map<std::string, std::string>;

// A program running beside the test, its standard output and error in files (one file when no
// error file is given); stopped with SIGTERM (then SIGKILL) when the object goes.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& arguments, const Environment& environment,
                 std::filesystem::path output,
                 std::optional<std::filesystem::path> errorOutput = std::nullopt);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid > 0; }
    // Whether the program has not ended yet.
    bool running();
    std::string outputText() const;
    // Waits up to `seconds` for the program to end; its exit status, or none if it still runs.
    std::optional<int> wait(int seconds);

private:
    int pid = -1;
    std::filesystem::path output;
};

// What a program that ran to its end printed, and how it ended (-1: it did not start or end).
struct ProgramRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};
ProgramRun runProgram(const std::vector<std::string>& arguments, const Environment& environment = {});

// Runs a program to its end with its output appended to a file; its exit status.
int runProgram(const std::vector<std::string>& arguments, const std::filesystem::path& output);

std::string readTextFile(const std::filesystem::path& path);

} // namespace quorlinth::testing
