#include "vltool/hex.h"

namespace vltool {
namespace {

int digitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool parseHex(std::string_view text, vl::ByteBuffer* out) {
  out->clear();
  if (text.size() % 2 != 0) return false;
  out->reserve(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    int high = digitValue(text[i]);
    int low = digitValue(text[i + 1]);
    if (high < 0 || low < 0) {
      out->clear();
      return false;
    }
    out->appendU8(static_cast<uint8_t>(high * 16 + low));
  }
  return true;
}

std::string toHex(std::span<const uint8_t> bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (uint8_t byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}

}  // namespace vltool
