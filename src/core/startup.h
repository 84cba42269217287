// The program's entry and exit: the command line, the refusal of systems too
// old to run on, the system object, the single-instance check, the run mode
// and shutdown. The exit code tells the outcome (exit_codes.h).
//
// Two run modes: the unattended backup ("backup"), which shows nothing and
// writes every message to the copy log, and the interactive program with
// its windows. The windows are made only for an interactive start, so a
// scheduled run without a display never loads any of their code.
#pragma once

#include <functional>
#include <memory>
#include <string_view>

#include "core/backup_system.h"
#include "core/instance_lock.h"

namespace vl {

struct CommandLine {
  bool hidden = false;      // start hidden in the notification area
  bool unattended = false;  // one unattended backup
};

// The whole command line (the arguments after the program name, joined by
// single blanks) must equal "hidden", "HIDDEN" or "Hidden", or "backup",
// "BACKUP" or "Backup"; anything else sets neither flag.
CommandLine parseCommandLine(std::string_view whole);

// The windows of the interactive program.
class InteractiveFrontEnd : public InstanceWindows {
 public:
  // The interactive program once start-up is done; returns the exit code.
  virtual int run(BackupSystem& system, bool hidden) = 0;
};

using FrontEndFactory = std::function<std::unique_ptr<InteractiveFrontEnd>()>;

// The whole program; `make_front_end` is called only for an interactive start.
int runClient(std::string_view command_line, const FrontEndFactory& make_front_end);

}  // namespace vl
