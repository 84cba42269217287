// The check behind `vl_server check`: that a server's data folder is whole.
//
// For every account the copy catalogue describes: each stored copy's list
// record is there, of its catalogued size and a sound shape; each section a
// copy uses is catalogued and counted once for every copy that uses it;
// each catalogued section record is there, unaltered (its pack checksum),
// of its catalogued size and a sound shape; and the account's used bytes
// and bytes of the copy in progress agree with the rows. Records the
// catalogue does not name (an upload cut off before it was answered) are
// counted but are no fault. Reads only; safe while the server runs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vl {

struct DataCheck {
  std::vector<std::string> problems;  // one line each; none when healthy
  uint32_t accounts = 0;
  uint32_t copies = 0;
  uint64_t sections = 0;
  uint64_t unnamedRecords = 0;
  bool healthy() const { return problems.empty(); }
};

// Checks the data folder `data` (its account database and backups folder).
DataCheck checkServerData(const std::string& data);

}  // namespace vl
