#pragma once

#include "platform/LoginItem.h"

#include <filesystem>
#include <string>
#include <vector>

namespace quorlinth {

// The login item as an XDG autostart entry: $XDG_CONFIG_HOME/autostart/quorlinth.desktop starts
// `command` when the desktop session begins. An entry marked Hidden (the desktop's own way of
// switching it off) counts as not registered.
class XdgAutostartLoginItem : public LoginItemService {
public:
    explicit XdgAutostartLoginItem(std::vector<std::string> command);

    LoginItemStatus status() override;
    Result<void> registerItem() override;
    Result<void> unregisterItem() override;

    static std::filesystem::path entryPath();

private:
    std::vector<std::string> command;
};

} // namespace quorlinth
