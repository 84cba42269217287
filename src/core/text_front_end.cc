#include "core/text_front_end.h"

#include <cstdio>

#include "core/exit_codes.h"

namespace vl {

int TextFrontEnd::waitForBackgroundCopy() {
  std::fprintf(stderr,
               "vl_client: en kopiering pågår som bakgrundsprocess; starta programmet när den "
               "är klar.\n");
  return 0;
}

void TextFrontEnd::bringWindowForward(uint32_t) {}

int TextFrontEnd::run(BackupSystem&, bool) {
  std::fprintf(stderr,
               "vl_client: the interactive program is not available in this build; "
               "run \"vl_client backup\" for an unattended backup.\n");
  return kExitNormal;
}

}  // namespace vl
