// The remote-log file (".rlf"): what the user keeps to read the copy logs
// that backups leave, sealed, on the server.
//
// It is a buffer file of u16 0, the account's user number (u32) and the
// 32-byte log key as counted bytes, built from "logg_key.bin" and
// "local_key.bin" in the working directory.
#pragma once

#include <string>

namespace vl {

// Writes the remote-log file at `path`. False, with nothing written, when
// either key file cannot be read or "local_key.bin" is not an account key
// record (type 101, version 0).
bool saveRemoteLogFile(const std::string& path);

}  // namespace vl
