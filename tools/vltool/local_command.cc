// vltool local: the group's usage and dispatch to its subcommands.
#include <string>

#include "vltool/command_registry.h"
#include "vltool/local_commands.h"

namespace vltool {
namespace {

constexpr char kUsage[] =
    "vltool local backup --store DIR --keys KEYDIR [--no-compress] [--content-compare]\n"
    "                    [--include-hidden] [--restart-interval SECONDS] FOLDER...\n"
    "    one copy of the folders into the store DIR; resumes an interrupted copy from\n"
    "    \"restart.bin\" in the current directory (rewritten at most every SECONDS while\n"
    "    the copy runs, default 60); prints the statistics\n"
    "vltool local restore --store DIR --keys KEYDIR --to TARGET [--copy N] [--temp-folder]\n"
    "                     [PATH...]\n"
    "    restores copy N (default the latest), or only the named entries and everything\n"
    "    below named folders; --temp-folder first copies every section into a temporary\n"
    "    folder in the current directory, as a restore from a server does\n";

int runLocal(const Args& args) {
  if (args.empty()) return usageError("local");
  const Args rest(args.begin() + 1, args.end());
  if (args[0] == "backup") return runLocalBackup(rest);
  if (args[0] == "restore") return runLocalRestore(rest);
  return usageError("local");
}

}  // namespace

std::string storeOpenFailure(const std::string& folder, vl::StoreOpenError why) {
  switch (why) {
    case vl::StoreOpenError::kLocked:
      return "the store '" + folder +
             "' is in use by another backup (one writer at a time); try again when it has "
             "finished";
    case vl::StoreOpenError::kFormat:
      return "the store '" + folder + "' holds section packs of a format this vltool does not read";
    case vl::StoreOpenError::kNone:
    case vl::StoreOpenError::kFailed:
      break;
  }
  return "cannot open the store '" + folder + "'";
}

VLTOOL_COMMAND_GROUP("local", kUsage, runLocal);

}  // namespace vltool
