// vardlok: the client's tasks from a terminal, for users without a desktop
// and for tests and benchmarks. Each command is a thin front end over one
// operation of the system object; questions are answered from options, so
// nothing ever waits for a prompt. Messages go to standard error in the
// language of the language setting; the exit status is 0 only when the task
// succeeded.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "vardlok/command_registry.h"
#include "vardlok/terminal.h"

namespace vardlok {

static std::vector<Command>& commands() {
  static std::vector<Command> all;
  return all;
}

bool registerCommand(const Command& command) {
  commands().push_back(command);
  return true;
}

const std::vector<Command>& registeredCommands() { return commands(); }

int usageError(const char* commandName) {
  for (const Command& command : commands()) {
    if (std::strcmp(command.name, commandName) == 0) {
      std::fprintf(stderr, "usage:\n%s", command.usage);
    }
  }
  return kUsage;
}

}  // namespace vardlok

static void printUsage() {
  auto all = vardlok::registeredCommands();
  std::sort(all.begin(), all.end(),
            [](const auto& a, const auto& b) { return std::strcmp(a.name, b.name) < 0; });
  std::fprintf(stderr, "vardlok: the Vardlok backup client from a terminal.\n\nusage:\n"
                       "vardlok help\n");
  for (const auto& command : all) std::fprintf(stderr, "%s", command.usage);
  std::fprintf(stderr, "\nexit status: 0 done, 1 failed, 2 wrong command line, 3 another "
                       "vardlok or vl_client is running\n");
}

int main(int argc, char** argv) {
  if (argc < 2) {
    printUsage();
    return vardlok::kUsage;
  }
  if (std::strcmp(argv[1], "help") == 0 || std::strcmp(argv[1], "--help") == 0) {
    printUsage();
    return vardlok::kSucceeded;
  }
  for (const auto& command : vardlok::registeredCommands()) {
    if (std::strcmp(command.name, argv[1]) == 0) {
      // Every command reads or changes the working directory's files.
      vardlok::InstanceHold hold;
      if (const int refused = hold.take(); refused != vardlok::kSucceeded) return refused;
      return command.run(vardlok::Args(argv + 2, argv + argc));
    }
  }
  std::fprintf(stderr, "vardlok: unknown command '%s'\n", argv[1]);
  printUsage();
  return vardlok::kUsage;
}
