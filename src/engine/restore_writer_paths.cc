#include "engine/restore_writer_paths.h"

#include "model/utf16.h"
#include "model/wiping_allocator.h"

namespace vl {
namespace {

bool isSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

bool isDriveQualified(std::u16string_view name) {
  if (name.size() < 2 || name[1] != u':') return false;
  char16_t letter = name[0];
  return (letter >= u'a' && letter <= u'z') || (letter >= u'A' && letter <= u'Z');
}

bool isSafeComponent(std::u16string_view component) {
  return !component.empty() && component != u"." && component != u"..";
}

}  // namespace

std::optional<std::string> restoreRelativePath(std::u16string_view name) {
  // A leading '/' or a drive letter makes an absolute path of this system
  // or of the one the copy was made on.
  if (name.empty() || name.front() == u'/' || isDriveQualified(name)) return std::nullopt;
  if (name.find(u'\0') != std::u16string_view::npos) return std::nullopt;
  // One leading separator is the joint to the restore folder; a second one
  // would start a UNC path and is caught as an empty component below.
  if (name.front() == u'\\') name.remove_prefix(1);

  WipedU16String converted;
  converted.reserve(name.size());
  size_t start = 0;
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i < name.size() && !isSeparator(name[i])) continue;
    std::u16string_view component = name.substr(start, i - start);
    if (!isSafeComponent(component)) return std::nullopt;
    if (start != 0) converted.push_back(u'/');
    converted.append(component);
    start = i + 1;
  }
  return utf16ToUtf8(converted);
}

}  // namespace vl
