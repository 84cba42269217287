#include "core/usage_files.h"

#include "core/byte_buffer.h"

namespace vl {
namespace {

// The file's buffer, or an empty one (every field reads as 0) when absent.
ByteBuffer loadOrEmpty(const std::string& path) {
  ByteBuffer stored;
  stored.loadFromFile(path);
  return stored;
}

}  // namespace

LastCopy readLastCopy(const std::string& path) {
  ByteBuffer stored = loadOrEmpty(path);
  LastCopy last;
  last.time = stored.readU32();
  last.files = stored.readU32();
  last.bytes = stored.readU64HighFirst();
  return last;
}

bool writeLastCopy(const LastCopy& last, const std::string& path) {
  ByteBuffer out;
  out.appendU32(last.time);
  out.appendU32(last.files);
  out.appendU64HighFirst(last.bytes);
  return out.saveToFile(path);
}

ServerUsage readServerUsage(const std::string& path) {
  ByteBuffer stored = loadOrEmpty(path);
  ServerUsage usage;
  usage.used_bytes = stored.readU64HighFirst();
  usage.copies = stored.readU32();
  usage.reserved_gib = stored.readU32();
  return usage;
}

bool writeServerUsage(const ServerUsage& usage, const std::string& path) {
  ByteBuffer out;
  out.appendU64HighFirst(usage.used_bytes);
  out.appendU32(usage.copies);
  out.appendU32(usage.reserved_gib);
  return out.saveToFile(path);
}

uint64_t readCurrentUpload(const std::string& path) {
  return loadOrEmpty(path).readU64HighFirst();
}

bool writeCurrentUpload(uint64_t uploaded, const std::string& path) {
  ByteBuffer out;
  out.appendU64HighFirst(uploaded);
  return out.saveToFile(path);
}

}  // namespace vl
