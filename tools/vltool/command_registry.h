// The command groups of vltool ("codec", "hash", "keys", ...).
//
// A group is a function that receives the words after its name and returns
// the exit status. Each group's source file registers itself with
// VLTOOL_COMMAND_GROUP, so adding a group never touches main.cc.
#pragma once

#include <string>
#include <vector>

namespace vltool {

using Args = std::vector<std::string>;
using GroupRunner = int (*)(const Args& args);

struct CommandGroup {
  const char* name;
  const char* usage;  // one or more lines, each starting with "vltool <name>"
  GroupRunner run;
};

bool registerGroup(const CommandGroup& group);
const std::vector<CommandGroup>& registeredGroups();

// Prints "vltool: <message>" on standard error and returns 1: the one-line
// failure every command ends with.
int fail(const std::string& message);
// Prints the group's usage on standard error and returns 2.
int usageError(const char* group_name);

}  // namespace vltool

#define VLTOOL_COMMAND_GROUP(name, usage, runner)                                  \
  static const bool vltool_registered_##runner = ::vltool::registerGroup(           \
      ::vltool::CommandGroup{name, usage, runner})
