// vl_client: the backup client. "vl_client backup" runs one unattended
// backup; any other command line starts the interactive program.
#include <memory>
#include <string>

#include "core/startup.h"
#include "core/text_front_end.h"

int main(int argc, char** argv) {
  // The program compares its whole command line, so the arguments are put
  // back together the way a shell took them apart.
  std::string command_line;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) command_line += ' ';
    command_line += argv[i];
  }
  return vl::runClient(command_line, [] { return std::make_unique<vl::TextFrontEnd>(); });
}
