#include "model/utf16.h"

#include <cstdint>

namespace vl {

namespace {

bool isSurrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

}  // namespace

std::optional<WipedU16String> utf8ToUtf16(std::string_view text) {
  WipedU16String out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    uint32_t lead = static_cast<uint8_t>(text[i]);
    if (lead < 0x80) {
      out.push_back(static_cast<char16_t>(lead));
      ++i;
      continue;
    }
    size_t extra;
    uint32_t code;
    uint32_t smallest;  // below this the sequence is overlong
    if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1, code = lead & 0x1F, smallest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2, code = lead & 0x0F, smallest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3, code = lead & 0x07, smallest = 0x10000;
    } else {
      return std::nullopt;  // continuation byte, C0/C1 or F5..FF
    }
    if (text.size() - i <= extra) return std::nullopt;
    for (size_t k = 1; k <= extra; ++k) {
      uint32_t byte = static_cast<uint8_t>(text[i + k]);
      if ((byte & 0xC0) != 0x80) return std::nullopt;
      code = (code << 6) | (byte & 0x3F);
    }
    if (code < smallest || code > 0x10FFFF || isSurrogate(code)) return std::nullopt;
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
    i += extra + 1;
  }
  return out;
}

std::optional<std::string> utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t code = text[i];
    if (isSurrogate(code)) {
      if (code >= 0xDC00 || i + 1 == text.size()) return std::nullopt;
      uint32_t low = text[i + 1];
      if (low < 0xDC00 || low > 0xDFFF) return std::nullopt;
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
      ++i;
    }
    if (code < 0x80) {
      out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (code >> 6)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (code >> 12)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (code >> 18)));
      out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  return out;
}

void appendUtf16HighFirst(ByteBuffer& out, std::u16string_view text) {
  size_t start = out.size();
  out.resize(start + text.size() * 2);
  uint8_t* p = out.data() + start;
  for (char16_t unit : text) {
    *p++ = static_cast<uint8_t>(unit >> 8);
    *p++ = static_cast<uint8_t>(unit);
  }
}

}  // namespace vl
