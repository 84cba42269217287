#include "server/program/data_check.h"

#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <unordered_map>

#include "server/identity/server_identity.h"
#include "server/protocol/backup_requests.h"
#include "server/storage/sqlite_copy_catalog.h"
#include "server/store/copy_store.h"

namespace vl {
namespace {

bool exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

class AccountCheck {
 public:
  AccountCheck(uint32_t account, SqliteCopyCatalog& catalog, const CopyStore& store,
               DataCheck& report)
      : account_(account), catalog_(catalog), store_(store), report_(report) {}

  void run() {
    uint64_t listBytes = 0;
    if (!checkCopies(&listBytes) || !countUses()) return;
    checkSections(listBytes);
  }

 private:
  void problem(const std::string& what) {
    report_.problems.push_back("account " + std::to_string(account_) + ": " + what);
  }

  bool checkCopies(uint64_t* listBytes) {
    const std::optional<std::vector<CopySummary>> copies = catalog_.copies(account_);
    if (!copies) {
      problem("its copies cannot be read from the catalogue");
      return false;
    }
    for (const CopySummary& copy : *copies) {
      ++report_.copies;
      *listBytes += copy.listBytes;
      const std::string name = "copy " + std::to_string(copy.copy);
      const std::optional<ByteBuffer> list = store_.getList(copy.copy);
      if (!list) {
        problem(name + ": its list record is missing");
      } else if (list->size() != copy.listBytes) {
        problem(name + ": its list record has " + std::to_string(list->size()) +
                " bytes, catalogued " + std::to_string(copy.listBytes));
      } else if (!soundListRecord(list->span())) {
        problem(name + ": its list record is misshapen");
      }
    }
    return true;
  }

  bool countUses() {
    bool readable = true;
    const bool listed = catalog_.usedSets(account_, [&](uint32_t copy, std::span<const uint8_t> used) {
      const std::optional<std::vector<uint32_t>> numbers = readSectionSet(used);
      if (!numbers) {
        problem("copy " + std::to_string(copy) + ": its set of used sections does not read");
        readable = false;
        return;
      }
      std::vector<uint32_t> distinct = *numbers;
      std::sort(distinct.begin(), distinct.end());
      distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
      for (uint32_t number : distinct) {
        if (uses_[number]++ == 0) firstUser_[number] = copy;
      }
    });
    if (!listed) problem("the copies' used sections cannot be read from the catalogue");
    return listed && readable;
  }

  void checkSections(uint64_t listBytes) {
    const std::optional<std::vector<SectionRow>> rows = catalog_.sectionRows(account_);
    if (!rows) {
      problem("its sections cannot be read from the catalogue");
      return;
    }
    uint64_t used = listBytes;
    uint64_t pending = 0;
    for (const SectionRow& row : *rows) {
      ++report_.sections;
      used += row.bytes;
      if (row.uses == 0) pending += row.bytes;
      checkSection(row);
    }
    for (const auto& [number, count] : uses_) {
      problem("copy " + std::to_string(firstUser_[number]) + " uses section " +
              std::to_string(number) + ", which is not catalogued");
    }
    for (uint32_t number : store_.sectionNumbers()) {
      if (!std::binary_search(rows->begin(), rows->end(), SectionRow{number, 0, 0},
                              [](const SectionRow& a, const SectionRow& b) {
                                return a.number < b.number;
                              })) {
        ++report_.unnamedRecords;
      }
    }
    uint64_t usedFigure = 0;
    uint64_t pendingFigure = 0;
    if (!catalog_.totals(account_, &usedFigure, &pendingFigure)) {
      problem("its used bytes cannot be read");
    } else if (usedFigure != used || pendingFigure != pending) {
      problem("its figures say " + std::to_string(usedFigure) + " bytes used, " +
              std::to_string(pendingFigure) + " uploaded for the next copy; its records " +
              std::to_string(used) + " and " + std::to_string(pending));
    }
  }

  void checkSection(const SectionRow& row) {
    const std::string name = "section " + std::to_string(row.number);
    const auto counted = uses_.find(row.number);
    const uint32_t users = counted == uses_.end() ? 0 : counted->second;
    if (counted != uses_.end()) uses_.erase(counted);
    if (users != row.uses) {
      problem(name + ": catalogued for " + std::to_string(row.uses) + " copies, used by " +
              std::to_string(users));
    }
    const std::optional<ByteBuffer> record = store_.getSection(row.number);
    if (!record) {
      problem(name + ": its record is missing or altered");
    } else if (record->size() != row.bytes) {
      problem(name + ": its record has " + std::to_string(record->size()) +
              " bytes, catalogued " + std::to_string(row.bytes));
    } else if (!soundSectionRecord(record->span())) {
      problem(name + ": its record is misshapen");
    }
  }

  const uint32_t account_;
  SqliteCopyCatalog& catalog_;
  const CopyStore& store_;
  DataCheck& report_;
  // Copies using each section, and the first of them (for the report).
  std::unordered_map<uint32_t, uint32_t> uses_;
  std::unordered_map<uint32_t, uint32_t> firstUser_;
};

}  // namespace

DataCheck checkServerData(const std::string& data) {
  DataCheck report;
  const std::string database = data + "/" + kAccountDatabaseFile;
  if (!exists(database)) {
    report.problems.push_back("no account database in " + data);
    return report;
  }
  std::unique_ptr<SqliteCopyCatalog> catalog = SqliteCopyCatalog::open(database);
  const std::optional<std::vector<uint32_t>> accounts =
      catalog ? catalog->catalogued() : std::nullopt;
  if (!accounts) {
    report.problems.push_back("the copy catalogue in " + database + " cannot be read");
    return report;
  }
  for (uint32_t account : *accounts) {
    ++report.accounts;
    const std::string folder = data + "/" + kBackupFolder + "/" + std::to_string(account);
    std::optional<CopyStore> store =
        exists(folder) ? CopyStore::openForReading(folder) : std::nullopt;
    if (!store) {
      report.problems.push_back("account " + std::to_string(account) +
                                ": its record store cannot be opened");
      continue;
    }
    AccountCheck(account, *catalog, *store, report).run();
  }
  return report;
}

}  // namespace vl
