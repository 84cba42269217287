#include "net/send_action.h"

namespace vl {

bool SendAction::reconnect(ByteBuffer* /*opening*/) { return false; }

void SendAction::reportError(TransferErrorKind /*kind*/, uint32_t /*platformCode*/) {}

}  // namespace vl
