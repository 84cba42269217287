#include "core/folders_file.h"

namespace vl {
namespace {

// Decodes one UTF-8 character at `i`; nothing for a malformed or overlong
// sequence.
std::optional<uint32_t> nextCodePoint(std::string_view text, size_t& i) {
  auto byte = [&](size_t at) { return static_cast<uint8_t>(text[at]); };
  uint8_t lead = byte(i);
  if (lead < 0x80) {
    ++i;
    return lead;
  }
  size_t extra;
  uint32_t value;
  if ((lead & 0xE0) == 0xC0) {
    extra = 1;
    value = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2;
    value = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3;
    value = lead & 0x07;
  } else {
    return std::nullopt;
  }
  if (i + extra >= text.size()) return std::nullopt;
  for (size_t k = 1; k <= extra; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return std::nullopt;
    value = (value << 6) | (byte(i + k) & 0x3F);
  }
  static constexpr uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
  if (value < kSmallest[extra] || value > 0x10FFFF) return std::nullopt;
  i += extra + 1;
  return value;
}

// The single-byte form of `path`, or nothing when it has none.
std::optional<std::string> singleByteForm(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  for (size_t i = 0; i < path.size();) {
    auto code = nextCodePoint(path, i);
    if (!code || *code == 0 || *code > 0xFF) return std::nullopt;
    out.push_back(static_cast<char>(*code));
  }
  return out;
}

std::string fromSingleByteForm(const uint8_t* bytes, size_t length) {
  std::string out;
  out.reserve(length);
  for (size_t i = 0; i < length; ++i) {
    uint8_t c = bytes[i];
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

}  // namespace

bool canStoreFolderPath(std::string_view path) { return singleByteForm(path).has_value(); }

std::optional<ByteBuffer> encodeFolderSelection(const std::vector<std::string>& paths,
                                                size_t* refused) {
  ByteBuffer out;
  out.appendU32(static_cast<uint32_t>(paths.size()));
  for (size_t i = 0; i < paths.size(); ++i) {
    auto stored = singleByteForm(paths[i]);
    if (!stored) {
      if (refused != nullptr) *refused = i;
      return std::nullopt;
    }
    out.appendCounted(stored->c_str(), stored->size() + 1);  // with its zero byte
  }
  return out;
}

std::vector<std::string> decodeFolderSelection(ByteBuffer& stored) {
  std::vector<std::string> paths;
  stored.setReadPosition(0);
  uint32_t count = stored.readU32();
  for (uint32_t i = 0; i < count && stored.remaining() > 0; ++i) {
    uint32_t start = stored.readPosition();
    ByteBuffer field = stored.readCounted();
    // A length with nothing after it is where the file was cut.
    if (stored.readPosition() == start) break;
    // The path ends at its zero byte; anything after one is not part of it.
    size_t length = 0;
    while (length < field.size() && field[length] != 0) ++length;
    paths.push_back(fromSingleByteForm(field.data(), length));
  }
  return paths;
}

bool writeFolderSelection(const std::vector<std::string>& paths, const std::string& path,
                          size_t* refused) {
  auto buffer = encodeFolderSelection(paths, refused);
  return buffer && buffer->saveToFile(path);
}

std::optional<std::vector<std::string>> readFolderSelection(const std::string& path) {
  ByteBuffer stored;
  if (!stored.loadFromFile(path)) return std::nullopt;
  return decodeFolderSelection(stored);
}

uint32_t readFolderCount(const std::string& path) {
  ByteBuffer stored;
  if (!stored.loadFromFile(path)) return 0;
  return stored.readU32();
}

}  // namespace vl
