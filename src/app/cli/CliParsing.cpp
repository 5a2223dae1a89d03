#include "app/cli/CliParsing.h"

#include <iostream>
#include <sstream>
#include <termios.h>
#include <unistd.h>

namespace quorlinth::cli {

namespace {

std::string afterColon(const std::string& text) {
    auto at = text.find(": ");
    return at == std::string::npos ? text : text.substr(at + 2);
}

std::string beforeColon(const std::string& text) {
    return text.substr(0, text.find(':'));
}

} // namespace

void useChineseTexts(CLI::App& app) {
    auto formatter = app.get_formatter();
    formatter->label("Usage", "用法");
    formatter->label("OPTIONS", "选项");
    formatter->label("SUBCOMMAND", "命令");
    formatter->label("SUBCOMMANDS", "命令");
    formatter->label("REQUIRED", "（必需）");
    formatter->label("Positionals", "参数");
    formatter->label("Options", "选项");
    formatter->label("Subcommands", "命令");
    app.option_defaults()->group("选项");
    app.set_help_flag("-h,--help", "显示帮助并退出");
}

std::string usageErrorText(const CLI::App& app, const CLI::ParseError& error) {
    std::string what = error.what();
    std::string text;
    if (what.find("subcommand") != std::string::npos) {
        text = "缺少命令或命令无法识别；可用的命令：";
        for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; }))
            text += command->get_name() + " ";
        text.pop_back();
    } else if (dynamic_cast<const CLI::ExtrasError*>(&error)) {
        text = "无法识别的参数：" + afterColon(what);
    } else if (dynamic_cast<const CLI::RequiredError*>(&error)) {
        auto at = what.find(" is required");
        text = at == std::string::npos ? "请指定一个命令" : "缺少参数 " + what.substr(0, at);
    } else if (dynamic_cast<const CLI::ArgumentMismatch*>(&error)) {
        text = "参数 " + beforeColon(what) + " 需要一个值";
    } else if (dynamic_cast<const CLI::ValidationError*>(&error)) {
        text = "参数 " + beforeColon(what) + " 的取值无效：" + afterColon(what);
    } else {
        text = "命令行参数有误：" + what;
    }
    return text + "（加 --help 查看用法）";
}

CLI::Validator oneOf(const std::string& values, const std::string& explanation) {
    return CLI::Validator(
        [values, explanation](std::string& value) -> std::string {
            std::istringstream words(values);
            for (std::string word; words >> word;)
                if (word == value) return {};
            return explanation;
        },
        values);
}

CLI::Validator nonNegativeNumber() {
    return CLI::Validator(
        [](std::string& value) -> std::string {
            bool digits = !value.empty() && value.size() <= 9 &&
                          value.find_first_not_of("0123456789") == std::string::npos;
            return digits ? std::string() : "需要一个非负整数";
        },
        "N");
}

std::string secretOrPrompt(const std::string& given, const std::string& prompt) {
    if (!given.empty()) return given;
    std::string secret;
    if (!isatty(STDIN_FILENO)) {
        std::getline(std::cin, secret);
        return secret;
    }
    std::fprintf(stderr, "%s", prompt.c_str());
    termios original{};
    tcgetattr(STDIN_FILENO, &original);
    termios silent = original;
    silent.c_lflag &= ~ECHO;
    tcsetattr(STDIN_FILENO, TCSANOW, &silent);
    std::getline(std::cin, secret);
    tcsetattr(STDIN_FILENO, TCSANOW, &original);
    std::fprintf(stderr, "\n");
    return secret;
}

} // namespace quorlinth::cli
