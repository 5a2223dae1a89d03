#include "platform/linux/XdgAutostartLoginItem.h"

#include "store/AtomicFile.h"
#include "store/Paths.h"

#include <sstream>
#include <system_error>

namespace quorlinth {

namespace {

constexpr size_t kMaxEntrySize = 64 * 1024;

// One Exec argument, quoted as desktop entries require.
std::string quoteArgument(const std::string& argument) {
    std::string quoted = "\"";
    for (char c : argument) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        if (c == '%') quoted += '%';
        quoted += c;
    }
    return quoted + "\"";
}

std::string entryText(const std::vector<std::string>& command) {
    std::string exec;
    for (const auto& argument : command)
        exec += (exec.empty() ? "" : " ") + quoteArgument(argument);
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Quorlinth\n"
           "Comment=登录后自动启动并共享\n"
           "Exec=" +
           exec +
           "\n"
           "X-GNOME-Autostart-enabled=true\n";
}

bool hidden(const std::string& text) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (line == "Hidden=true" || line == "X-GNOME-Autostart-enabled=false") return true;
    return false;
}

} // namespace

XdgAutostartLoginItem::XdgAutostartLoginItem(std::vector<std::string> command)
    : command(std::move(command)) {}

std::filesystem::path XdgAutostartLoginItem::entryPath() {
    return configHome() / "autostart" / "quorlinth.desktop";
}

LoginItemStatus XdgAutostartLoginItem::status() {
    auto text = readSmallFile(entryPath(), kMaxEntrySize);
    if (!text || hidden(*text)) return LoginItemStatus::notRegistered;
    return LoginItemStatus::enabled;
}

Result<void> XdgAutostartLoginItem::registerItem() {
    std::error_code error;
    std::filesystem::create_directories(entryPath().parent_path(), error);
    if (error || !writeFileAtomically(entryPath(), entryText(command)))
        return Error{"无法写入自动启动项 " + entryPath().string() + "，请检查该文件夹的权限"};
    return {};
}

Result<void> XdgAutostartLoginItem::unregisterItem() {
    std::error_code error;
    std::filesystem::remove(entryPath(), error);
    if (error) return Error{"无法删除自动启动项 " + entryPath().string() + "，请检查该文件夹的权限"};
    return {};
}

} // namespace quorlinth
