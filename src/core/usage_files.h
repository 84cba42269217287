// What the client knows about its copies on the server: the last completed
// copy ("last.bin"), the server's usage ("usage.bin") and the bytes the copy
// in progress has uploaded so far ("current.bin").
//
// 64-bit values are kept as two u32 halves, high half first. A field past
// the end of a file (or of a missing file) reads as 0, which is what each
// file means when absent: no copy yet, no usage, nothing uploaded.
#pragma once

#include <cstdint>
#include <string>

namespace vl {

inline constexpr char kLastCopyFile[] = "last.bin";
inline constexpr char kServerUsageFile[] = "usage.bin";
inline constexpr char kCurrentUploadFile[] = "current.bin";

struct LastCopy {
  uint32_t time = 0;  // seconds since 1970; 0 = no copy has completed yet
  uint32_t files = 0;
  uint64_t bytes = 0;

  bool exists() const { return time != 0; }
};

struct ServerUsage {
  uint64_t used_bytes = 0;
  uint32_t copies = 0;
  uint32_t reserved_gib = 0;  // reserved space in units of 2^30 bytes
};

// The bytes reserved for the account on the server.
uint64_t reservedBytes(const ServerUsage& usage);
// Whether the used bytes have reached 4/5 of the reserved bytes (the
// product first, then the division, in 64-bit integers): the 80 % warning is
// due. Exactly at the threshold it is; one byte below it is not. Without
// "usage.bin" both figures are 0, which counts.
bool quotaWarningDue(const ServerUsage& usage);

LastCopy readLastCopy(const std::string& path = kLastCopyFile);
bool writeLastCopy(const LastCopy& last, const std::string& path = kLastCopyFile);

ServerUsage readServerUsage(const std::string& path = kServerUsageFile);
bool writeServerUsage(const ServerUsage& usage, const std::string& path = kServerUsageFile);

uint64_t readCurrentUpload(const std::string& path = kCurrentUploadFile);
bool writeCurrentUpload(uint64_t uploaded, const std::string& path = kCurrentUploadFile);

}  // namespace vl
