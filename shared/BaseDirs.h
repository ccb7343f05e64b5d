#pragma once
// The XDG base directories, the one place both programs resolve them. Each is
// the variable when it holds an absolute path, else its default under the
// home folder ($HOME when absolute, else the password database's entry).
// Without a home folder there is no default: the error says so, and callers
// refuse rather than write somewhere else.
#include <filesystem>
#include <optional>

#include "shared/Result.h"

namespace tovrelle::basedirs {

Result<std::filesystem::path> home();
Result<std::filesystem::path> dataHome();    // $XDG_DATA_HOME, ~/.local/share
Result<std::filesystem::path> configHome();  // $XDG_CONFIG_HOME, ~/.config
Result<std::filesystem::path> stateHome();   // $XDG_STATE_HOME, ~/.local/state
// $XDG_RUNTIME_DIR when absolute; it has no default (callers choose their own).
std::optional<std::filesystem::path> runtimeDir();

}  // namespace tovrelle::basedirs
