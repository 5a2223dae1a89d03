#include "app/cli/TerminalPrompter.h"

#include "base/MainQueue.h"

#include <cstdio>
#include <iostream>
#include <thread>
#include <unistd.h>

namespace quorlinth::cli {

void TerminalPrompter::ask(const MacQuestion& question, std::function<void(bool)> answer) {
    if (acceptAll) return answer(true);
    if (!isatty(STDIN_FILENO)) {
        std::printf("已拒绝：%s 没有终端可以确认；要无人值守地接受，请用 --accept-all（账号里的设备也可以用 "
                    "--trust 设备ID 信任）\n",
                    question.message.c_str());
        std::fflush(stdout);
        return answer(false);
    }
    std::printf("%s\n%s\n输入 y %s，其他拒绝：", question.message.c_str(), question.informative.c_str(),
                question.accept.c_str());
    std::fflush(stdout);
    // Reading blocks: it happens off the main queue, and the answer hops back.
    std::thread([answer] {
        std::string line;
        std::getline(std::cin, line);
        bool yes = line == "y" || line == "Y" || line == "yes";
        mainQueue().post([answer, yes] { answer(yes); });
    }).detach();
}

} // namespace quorlinth::cli
