// The commands of vardlok ("server", "account", ...).
//
// A command is a function that receives the words after its name and
// returns the exit status. Each command's source file registers itself with
// VARDLOK_COMMAND, so adding one never touches main.cc.
#pragma once

#include <string>
#include <vector>

namespace vardlok {

using Args = std::vector<std::string>;
using CommandRunner = int (*)(const Args& args);

struct Command {
  const char* name;
  const char* usage;  // one or more lines, each starting with "vardlok <name>"
  CommandRunner run;
};

bool registerCommand(const Command& command);
const std::vector<Command>& registeredCommands();

// Exit statuses: the task succeeded, it failed, the command line was wrong,
// another instance (vl_client or vardlok) holds the working directory.
inline constexpr int kSucceeded = 0;
inline constexpr int kFailed = 1;
inline constexpr int kUsage = 2;
inline constexpr int kAlreadyRunning = 3;

// Prints the command's usage on standard error and returns kUsage.
int usageError(const char* commandName);

}  // namespace vardlok

#define VARDLOK_COMMAND(name, usage, runner)                                   \
  static const bool vardlok_registered_##runner = ::vardlok::registerCommand( \
      ::vardlok::Command{name, usage, runner})
