#include "core/usage_files.h"

#include "core/byte_buffer.h"

namespace vl {
namespace {

// Each file's layout is written down once, as a function over its fields in
// stored order, and run with a reader or a writer.
struct FieldReader {
  ByteBuffer& in;
  void u32(uint32_t& value) { value = in.readU32(); }
  void u64(uint64_t& value) { value = in.readU64HighFirst(); }
};

struct FieldWriter {
  ByteBuffer& out;
  void u32(uint32_t value) { out.appendU32(value); }
  void u64(uint64_t value) { out.appendU64HighFirst(value); }
};

constexpr auto kLastCopyLayout = [](auto& io, auto& last) {
  io.u32(last.time);
  io.u32(last.files);
  io.u64(last.bytes);
};

constexpr auto kServerUsageLayout = [](auto& io, auto& usage) {
  io.u64(usage.used_bytes);
  io.u32(usage.copies);
  io.u32(usage.reserved_gib);
};

constexpr auto kCurrentUploadLayout = [](auto& io, auto& uploaded) { io.u64(uploaded); };

// A missing file, or one that ends early, reads as zeros from there on.
template <typename Value, typename Layout>
Value load(const std::string& path, Layout layout) {
  ByteBuffer stored;
  stored.loadFromFile(path);
  FieldReader reader{stored};
  Value value{};
  layout(reader, value);
  return value;
}

template <typename Value, typename Layout>
bool save(const Value& value, const std::string& path, Layout layout) {
  ByteBuffer out;
  FieldWriter writer{out};
  layout(writer, value);
  return out.saveToFile(path);
}

}  // namespace

LastCopy readLastCopy(const std::string& path) { return load<LastCopy>(path, kLastCopyLayout); }

bool writeLastCopy(const LastCopy& last, const std::string& path) {
  return save(last, path, kLastCopyLayout);
}

ServerUsage readServerUsage(const std::string& path) {
  return load<ServerUsage>(path, kServerUsageLayout);
}

bool writeServerUsage(const ServerUsage& usage, const std::string& path) {
  return save(usage, path, kServerUsageLayout);
}

uint64_t readCurrentUpload(const std::string& path) {
  return load<uint64_t>(path, kCurrentUploadLayout);
}

bool quotaNearlyUsed(const ServerUsage& usage) {
  const uint64_t reserved = uint64_t{usage.reserved_gib} << 30;
  return usage.used_bytes >= reserved * 4 / 5;
}

bool writeCurrentUpload(uint64_t uploaded, const std::string& path) {
  return save(uploaded, path, kCurrentUploadLayout);
}

}  // namespace vl
