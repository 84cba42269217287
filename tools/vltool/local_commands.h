// vltool local: whole copies and restores against a copy store on this
// machine, with the account keys that `vltool keys generate` writes.
//
// The group's dispatcher (local_command.cc) hands each subcommand the words
// after its name. The backup runs in the current directory as the client
// runs in its working directory: "restart.bin", "progr.bin", "cf.bin",
// "logg.bin" and "stats.txt" are kept there, and an interrupted backup is
// resumed from there.
#pragma once

#include <string>

#include "server/store/copy_store.h"
#include "vltool/command_registry.h"

namespace vltool {

// vltool local backup --store DIR --keys KEYDIR [--no-compress]
//     [--content-compare] [--include-hidden] [--restart-interval SECONDS] FOLDER...
int runLocalBackup(const Args& args);

// What to tell the user when the store at `folder` did not open for `why`.
std::string storeOpenFailure(const std::string& folder, vl::StoreOpenError why);

// vltool local restore --store DIR --keys KEYDIR --to TARGET [--copy N] [PATH...]
int runLocalRestore(const Args& args);

}  // namespace vltool
