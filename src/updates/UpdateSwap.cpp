#include "updates/UpdateSwap.h"

#include <fcntl.h>
#include <spawn.h>
#include <vector>

extern char** environ;

namespace quorlinth {

const char* const kSwapScript = "while kill -0 \"$1\" 2>/dev/null; do sleep 0.2; done\n"
                                "rm -rf \"$4\"\n"
                                "if mv \"$2\" \"$4\" && mv \"$3\" \"$2\"; then rm -rf \"$4\"; else [ -d "
                                "\"$2\" ] || mv \"$4\" \"$2\"; rm -rf \"$3\"; fi\n"
                                "[ -z \"$5\" ] || exec \"$2/$5\"\n";

Result<void> launchSwap(pid_t waitFor, const UpdateSwapPaths& paths, const std::string& launcher) {
    std::vector<std::string> arguments{"/bin/sh",
                                       "-c",
                                       kSwapScript,
                                       "quorlinth-update",
                                       std::to_string(waitFor),
                                       paths.installation.string(),
                                       paths.staging.string(),
                                       paths.previous.string(),
                                       launcher};
    std::vector<char*> argv;
    for (auto& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd : {0, 1, 2})
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    posix_spawn_file_actions_addchdir_np(&actions, "/");
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    pid_t child = 0;
    int status = posix_spawn(&child, "/bin/sh", &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (status != 0) return Error{"无法启动更新程序"};
    return {};
}

} // namespace quorlinth
