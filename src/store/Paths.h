#pragma once

#include <filesystem>

namespace quorlinth {

// XDG base directories, read from the environment on every call so tests can redirect them.
// A relative or empty XDG variable is ignored (as the XDG rules require) and the default under
// $HOME is used.
std::filesystem::path configHome(); // $XDG_CONFIG_HOME or ~/.config
std::filesystem::path dataHome();   // $XDG_DATA_HOME or ~/.local/share
std::filesystem::path stateHome();  // $XDG_STATE_HOME or ~/.local/state

std::filesystem::path appConfigDir(); // configHome()/quorlinth
std::filesystem::path appDataDir();   // dataHome()/quorlinth
std::filesystem::path appStateDir();  // stateHome()/quorlinth

// The user's download folder (XDG_DOWNLOAD_DIR from user-dirs.dirs, else ~/Downloads) + "/Quorlinth".
std::filesystem::path downloadsDir();

} // namespace quorlinth
