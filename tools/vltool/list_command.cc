// vltool list: shows a file list, from a list record (opened with the
// account's local key) or from a plain payload, one entry a line.
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>

#include "core/byte_buffer.h"
#include "crypto/key_files.h"
#include "model/file_list.h"
#include "model/list_payload.h"
#include "model/list_record.h"
#include "model/utf16.h"
#include "vltool/command_registry.h"
#include "vltool/file_io.h"
#include "vltool/hex.h"

namespace vltool {
namespace {

constexpr char kUsage[] =
    "vltool list dump [--keys KEYDIR] FILE\n"
    "    FILE is a list record (opened with KEYDIR/local_key.bin, or KEYDIR/recovery.drf),\n"
    "    a cached list file (list_data_N.bin) or a plain payload. Prints one entry a line:\n"
    "    kind, name, times (UTC), attributes, content hash and sections (number:hash).\n";

bool looksLikeRecord(const vl::ByteBuffer& bytes) {
  return bytes.size() >= 6 && bytes.peek(0) == vl::kListRecordType && bytes.peek(1) == 0 &&
         bytes.peek(2) <= 1 && bytes.peek(3) == 0;
}

// A cached list file is a buffer file holding one field with the record.
std::optional<vl::ByteBuffer> unwrapCachedList(vl::ByteBuffer file) {
  if (file.size() < 8 || file.readU32() != file.size() - 4) return std::nullopt;
  vl::ByteBuffer record = file.readCounted();
  if (!looksLikeRecord(record)) return std::nullopt;
  return record;
}

std::optional<vl::ByteBuffer> localKeyFrom(const std::string& folder) {
  vl::LocalKeyRecord local;
  if (vl::readLocalKey(folder + "/" + vl::kLocalKeyFile, &local)) return local.localKey;
  vl::RecoveryRecord recovery;
  if (vl::readRecovery(folder + "/recovery.drf", &recovery)) return recovery.localKey;
  return std::nullopt;
}

// UTF-8 for the terminal; a lone surrogate, which has no UTF-8 form, and
// control characters are shown as escapes instead of being altered.
std::string printableName(std::u16string_view name) {
  std::string out;
  for (size_t i = 0; i < name.size(); ++i) {
    size_t units = (name[i] >= 0xD800 && name[i] < 0xDC00 && i + 1 < name.size()) ? 2 : 1;
    std::optional<std::string> utf8 = vl::utf16ToUtf8(name.substr(i, units));
    if (!utf8 && units == 2) utf8 = vl::utf16ToUtf8(name.substr(i, units = 1));
    char escape[16];
    if (!utf8 || (name[i] < 0x20)) {
      std::snprintf(escape, sizeof escape, "\\u{%04x}", static_cast<unsigned>(name[i]));
      out += escape;
      units = 1;
    } else {
      out += *utf8;
    }
    i += units - 1;
  }
  return out;
}

// 100 ns units since 1601-01-01 as an ISO time in UTC; 0 stays 0.
std::string fileTimeText(uint64_t time) {
  if (time == 0) return "0";
  constexpr int64_t kUnixEpochIn1601Seconds = 11644473600;
  std::time_t seconds = static_cast<std::time_t>(time / 10000000) - kUnixEpochIn1601Seconds;
  unsigned fraction = static_cast<unsigned>(time % 10000000);
  std::tm parts{};
  if (gmtime_r(&seconds, &parts) == nullptr) return std::to_string(time);
  char text[64];
  size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
  if (fraction != 0) std::snprintf(text + length, sizeof text - length, ".%07u", fraction);
  return std::string(text) + "Z";
}

void printEntry(const vl::FileListEntry& entry) {
  const char* kind = entry.isFolder ? (entry.isFolderEnd ? "end   " : "folder") : "file  ";
  std::printf("%s %s", kind, printableName(entry.name).c_str());
  if (entry.isFolderStart()) {
    std::printf("\n");
    return;
  }
  const vl::EntryMetadata& m = entry.metadata;
  std::printf("  created %s  accessed %s  written %s  attributes 0x%08x",
              fileTimeText(m.creationTime).c_str(), fileTimeText(m.lastAccessTime).c_str(),
              fileTimeText(m.lastWriteTime).c_str(), m.attributes);
  if (entry.isFile() || !entry.contentHash.empty()) {
    std::printf("  hash %s",
                entry.contentHash.empty() ? "-" : toHex(entry.contentHash.bytes()).c_str());
  }
  if (entry.isFile() || !entry.sections.empty()) {
    std::printf("  sections");
    if (entry.sections.empty()) std::printf(" -");
    for (const vl::ListSection& section : entry.sections) {
      std::printf(" %u:%s", section.number, toHex(section.hash.bytes()).c_str());
    }
  }
  std::printf("\n");
}

int dump(const std::string& keyFolder, const std::string& path) {
  vl::ByteBuffer bytes;
  if (!readWholeFile(path, &bytes)) return fail("cannot read '" + path + "'");
  std::optional<vl::ByteBuffer> record;
  if (looksLikeRecord(bytes)) {
    record = std::move(bytes);
  } else {
    record = unwrapCachedList(bytes);
  }

  vl::ByteBuffer payload;
  if (record) {
    if (keyFolder.empty()) return fail("'" + path + "' is a list record: give --keys KEYDIR");
    std::optional<vl::ByteBuffer> key = localKeyFrom(keyFolder);
    if (!key) return fail("no readable local_key.bin or recovery.drf in '" + keyFolder + "'");
    std::optional<vl::ByteBuffer> opened = vl::openList(record->span(), key->span());
    if (!opened) return fail("the list record does not open with this local key (or is damaged)");
    payload = std::move(*opened);
  } else {
    payload = std::move(bytes);
  }

  std::optional<vl::FileList> list = vl::parseList(payload.span());
  if (!list) return fail("not a valid list payload (damaged, cut short or inconsistent)");
  std::printf("list version %u, next section %u, %u entries\n", list->version,
              list->nextSectionNumber, list->entryCount());
  for (const vl::FileListEntry& entry : list->entries()) printEntry(entry);
  return 0;
}

int runList(const Args& args) {
  if (args.size() == 2 && args[0] == "dump") return dump("", args[1]);
  if (args.size() == 4 && args[0] == "dump" && args[1] == "--keys") return dump(args[2], args[3]);
  return usageError("list");
}

}  // namespace

VLTOOL_COMMAND_GROUP("list", kUsage, runList);

}  // namespace vltool
