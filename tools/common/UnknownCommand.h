// The front ends' answer to a word where the command should be: CLI11 would
// only say that a command is required.
#pragma once

#include <CLI/CLI.hpp>

#include <optional>
#include <string>
#include <vector>

namespace vx {

// After a failed parse: "'WORD' is not a command; the commands are ..." when
// no command was recognised and the first word left over is not an option.
inline std::optional<std::string> UnknownCommand(CLI::App &App)
{
    const std::vector<std::string> left = App.remaining();
    if (!App.get_subcommands().empty() || left.empty() || left.front().starts_with('-'))
        return std::nullopt;
    std::string names;
    for (const CLI::App *command : App.get_subcommands({}))
        names += (names.empty() ? "" : ", ") + command->get_name();
    return "'" + left.front() + "' is not a command; the commands are " + names;
}

}  // namespace vx
