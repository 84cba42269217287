// vltool: inspection and maintenance commands for the people who build, run
// and debug Vardlok. It works on files; it never talks to a server.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "vltool/command_registry.h"

namespace vltool {

static std::vector<CommandGroup>& groups() {
  static std::vector<CommandGroup> all;
  return all;
}

bool registerGroup(const CommandGroup& group) {
  groups().push_back(group);
  return true;
}

const std::vector<CommandGroup>& registeredGroups() { return groups(); }

int fail(const std::string& message) {
  std::fprintf(stderr, "vltool: %s\n", message.c_str());
  return 1;
}

int usageError(const char* group_name) {
  for (const auto& group : groups()) {
    if (std::strcmp(group.name, group_name) == 0) std::fprintf(stderr, "usage:\n%s", group.usage);
  }
  return 2;
}

}  // namespace vltool

static void printUsage() {
  auto all = vltool::registeredGroups();
  std::sort(all.begin(), all.end(),
            [](const auto& a, const auto& b) { return std::strcmp(a.name, b.name) < 0; });
  std::fprintf(stderr,
               "vltool: developer's inspection tool for Vardlok.\n"
               "Its random pool is credited from the operating system's generator,\n"
               "which the client itself never does.\n\nusage:\n");
  for (const auto& group : all) std::fprintf(stderr, "%s", group.usage);
}

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "help") == 0 || std::strcmp(argv[1], "--help") == 0) {
    printUsage();
    return argc < 2 ? 2 : 0;
  }
  for (const auto& group : vltool::registeredGroups()) {
    if (std::strcmp(group.name, argv[1]) == 0) {
      return group.run(vltool::Args(argv + 2, argv + argc));
    }
  }
  std::fprintf(stderr, "vltool: unknown command group '%s'\n", argv[1]);
  printUsage();
  return 2;
}
