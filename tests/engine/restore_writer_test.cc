// The restore writer driven step by step: what it asks for, what it writes
// where, the metadata it gives back, and every way it refuses or stops.
#include "engine/restore_writer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/copy_progress_file.h"
#include "core/state_files.h"
#include "engine/restore_fixture.h"
#include "engine/restore_writer_paths.h"
#include "engine/working_folder.h"
#include "support/temp_dir.h"

namespace vl {
namespace {

namespace fs = std::filesystem;
using test::HandMadeCopy;
using test::readFile;
using test::timesAt;

struct Recorder : RestoreMainAction {
  void setProgressRange(uint32_t files, uint32_t sections) override {
    rangeFiles = files;
    rangeSections = sections;
  }
  void setProgress(uint32_t sections, uint32_t files, uint64_t bytes) override {
    lastSections = sections;
    lastFiles = files;
    lastBytes = bytes;
  }
  uint32_t rangeFiles = 0, rangeSections = 0, lastSections = 0, lastFiles = 0;
  uint64_t lastBytes = 0;
};

FileTime mtimeOf(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return fileTimeFromUnix(info.st_mtim.tv_sec, static_cast<uint32_t>(info.st_mtim.tv_nsec));
}

FileTime atimeOf(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return fileTimeFromUnix(info.st_atim.tv_sec, static_cast<uint32_t>(info.st_atim.tv_nsec));
}

bool writable(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && (info.st_mode & 0222) != 0;
}

std::vector<std::string> tempFolders(const std::string& workingDirectory) {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(workingDirectory)) {
    std::string name = entry.path().filename().string();
    if (name.rfind("file_data_", 0) == 0) found.push_back(name);
  }
  return found;
}

class RestoreWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::creditPool(pool);
    target = work.file("target");
    fs::create_directory(target);
  }

  RestoreWriterOptions options() {
    RestoreWriterOptions o;
    o.progress = &recorder;
    return o;
  }

  // The request pass: every number asked for, in order.
  std::vector<uint32_t> requestAll(RestoreWriter& writer, HandMadeCopy& copy) {
    std::vector<uint32_t> asked;
    EXPECT_TRUE(writer.createTempFolder());
    uint32_t number = 0;
    RequestResult result;
    while ((result = writer.nextSectionToRequest(&number)) == RequestResult::kSection) {
      asked.push_back(number);
      EXPECT_TRUE(writer.storeSection(number, copy.records.at(number).span()));
    }
    EXPECT_EQ(result, RequestResult::kAllRequested);
    return asked;
  }

  // The writing pass on the caller's thread; every pending list it met.
  EntryResult writeAll(RestoreWriter& writer, std::vector<std::vector<PendingSection>>* seen = nullptr) {
    while (true) {
      EntryResult result = writer.nextEntry();
      if (result != EntryResult::kWaitingForData) return result;
      auto pending = writer.pendingSections();
      if (seen != nullptr) seen->emplace_back(pending.begin(), pending.end());
      if (!fillCurrentFile(writer)) {
        return writer.fault() == RestoreFault::kCancelled ? EntryResult::kCancelled
                                                          : EntryResult::kFailed;
      }
    }
  }

  // Hands the open file every section it waits for.
  bool fillCurrentFile(RestoreWriter& writer) {
    while (!writer.pendingSections().empty()) {
      PendingSection use = writer.pendingSections().front();
      std::optional<ByteBuffer> record = writer.loadSection(use.number);
      if (!record) return false;
      std::optional<ByteBuffer> plain = test::openForTest(record->span());
      if (!plain || !writer.writeSection(plain->span())) return false;
      if (use.lastUse) {
        EXPECT_TRUE(writer.dropSection(use.number));
      }
    }
    return true;
  }

  EntryResult restore(HandMadeCopy& copy, bool metadata = true) {
    RestoreWriter writer(pool, options());
    ByteBuffer payload = copy.payload();
    if (!writer.startRestore(payload.span(), target, metadata)) return EntryResult::kFailed;
    requestAll(writer, copy);
    EntryResult result = writeAll(writer);
    lastFault = writer.fault();
    lastMessage = writer.message().english;
    return result;
  }

  std::string at(const std::string& relative) const { return target + "/" + relative; }

  test::WorkingFolder work;
  RandomPool pool;
  Recorder recorder;
  std::string target;
  RestoreFault lastFault = RestoreFault::kNone;
  std::string lastMessage;
};

TEST_F(RestoreWriterTest, SharedSectionsAreAskedForOnceAndLastUseIsMarked) {
  HandMadeCopy copy;
  const uint32_t zeros = copy.section(std::string(100, '\0'));
  const uint32_t head = copy.section("head");
  const uint32_t tail = copy.section("tail");
  copy.fileOfSections(u"\\twice.bin", {zeros, zeros});
  copy.fileOfSections(u"\\one.txt", {head, tail});
  copy.fileOfSections(u"\\same.txt", {head, tail});

  RestoreWriter writer(pool, options());
  ByteBuffer payload = copy.payload();
  ASSERT_TRUE(writer.startRestore(payload.span(), target, true));
  EXPECT_EQ(recorder.rangeFiles, 3u);
  EXPECT_EQ(recorder.rangeSections, 6u);
  EXPECT_EQ(requestAll(writer, copy), (std::vector<uint32_t>{zeros, head, tail}));

  std::vector<std::vector<PendingSection>> seen;
  ASSERT_EQ(writeAll(writer, &seen), EntryResult::kFinished);
  ASSERT_EQ(seen.size(), 3u);
  auto lastUses = [](const std::vector<PendingSection>& uses) {
    std::vector<bool> flags;
    for (const PendingSection& use : uses) flags.push_back(use.lastUse);
    return flags;
  };
  EXPECT_EQ(lastUses(seen[0]), (std::vector<bool>{false, true}));
  EXPECT_EQ(lastUses(seen[1]), (std::vector<bool>{false, false}));
  EXPECT_EQ(lastUses(seen[2]), (std::vector<bool>{true, true}));

  EXPECT_EQ(readFile(at("twice.bin")), std::string(200, '\0'));
  EXPECT_EQ(readFile(at("one.txt")), "headtail");
  EXPECT_EQ(readFile(at("same.txt")), "headtail");
  EXPECT_EQ(writer.filesDone(), 3u);
  EXPECT_EQ(writer.sectionsDone(), 6u);
  EXPECT_EQ(writer.bytesWritten(), 216u);
  EXPECT_EQ(recorder.lastBytes, 216u);
  EXPECT_EQ(fs::directory_iterator(work.file(tempFolders(work.path()).at(0))),
            fs::directory_iterator());
}

TEST_F(RestoreWriterTest, GivesBackTimesAndAttributesButNeverToTopLevelFolders) {
  HandMadeCopy copy;
  copy.folderStart(u"\\Top");
  copy.folderStart(u"\\Top\\Sub");
  copy.file(u"\\Top\\Sub\\a.txt", {"alpha"}, timesAt(1100000000));
  copy.file(u"\\Top\\Sub\\locked.txt", {"ro"}, timesAt(1150000000, kAttributeReadOnly));
  copy.file(u"\\Top\\empty", {}, timesAt(1170000000));
  copy.folderStart(u"\\Top\\Frozen");
  copy.folderEnd(u"\\Top\\Frozen", timesAt(1180000000, kAttributeReadOnly));
  copy.folderEnd(u"\\Top\\Sub", timesAt(1200000000));
  copy.folderEnd(u"\\Top", timesAt(1300000000));

  ASSERT_EQ(restore(copy), EntryResult::kFinished);
  EXPECT_EQ(mtimeOf(at("Top/Sub/a.txt")), timesAt(1100000000).lastWriteTime);
  EXPECT_EQ(atimeOf(at("Top/Sub/a.txt")), timesAt(1100000000).lastAccessTime);
  EXPECT_EQ(mtimeOf(at("Top/empty")), timesAt(1170000000).lastWriteTime);
  EXPECT_EQ(mtimeOf(at("Top/Sub")), timesAt(1200000000).lastWriteTime);
  EXPECT_EQ(mtimeOf(at("Top/Frozen")), timesAt(1180000000).lastWriteTime);
  EXPECT_NE(mtimeOf(at("Top")), timesAt(1300000000).lastWriteTime);
  EXPECT_FALSE(writable(at("Top/Sub/locked.txt")));
  EXPECT_FALSE(writable(at("Top/Frozen")));
  EXPECT_TRUE(writable(at("Top/Sub/a.txt")));
  EXPECT_EQ(readFile(at("Top/Sub/locked.txt")), "ro");
  EXPECT_EQ(readFile(at("Top/empty")), "");
}

TEST_F(RestoreWriterTest, WithoutMetadataFilesAndFoldersKeepTheirNewTimes) {
  HandMadeCopy copy;
  copy.folderStart(u"\\Top");
  copy.folderStart(u"\\Top\\Sub");
  copy.file(u"\\Top\\Sub\\a.txt", {"alpha"}, timesAt(1100000000, kAttributeReadOnly));
  copy.folderEnd(u"\\Top\\Sub", timesAt(1200000000, kAttributeReadOnly));
  copy.folderEnd(u"\\Top", timesAt(1300000000));

  ASSERT_EQ(restore(copy, false), EntryResult::kFinished);
  const FileTime recent = fileTimeFromUnix(::time(nullptr) - 3600, 0);
  EXPECT_GT(mtimeOf(at("Top/Sub/a.txt")), recent);
  EXPECT_GT(mtimeOf(at("Top/Sub")), recent);
  EXPECT_TRUE(writable(at("Top/Sub/a.txt")));
  EXPECT_TRUE(writable(at("Top/Sub")));
}

TEST_F(RestoreWriterTest, EveryFinishedFileIsCheckedAgainstItsContentHash) {
  // Empty files: the digest of nothing, or no hash at all, passes.
  {
    HandMadeCopy copy;
    copy.file(u"\\empty", {});
    copy.list.addFile(u"\\unhashed", timesAt(1000000000), ListHash{}, {});
    ASSERT_EQ(restore(copy), EntryResult::kFinished);
    EXPECT_TRUE(fs::exists(at("empty")));
    EXPECT_TRUE(fs::exists(at("unhashed")));
  }
  // A file with data listed without a hash fails: nothing vouches for its
  // bytes, and they do not stay behind.
  {
    HandMadeCopy copy;
    const std::vector<ListSection> sections{{copy.section("da"), test::hashOfBytes("da")},
                                            {copy.section("ta"), test::hashOfBytes("ta")}};
    ASSERT_TRUE(copy.list.addFile(u"\\unvouched", timesAt(1000000000), ListHash{}, sections));
    EXPECT_EQ(restore(copy), EntryResult::kFailed);
    EXPECT_EQ(lastFault, RestoreFault::kHashMismatch);
    EXPECT_EQ(lastMessage, "Internal error (10).");
    EXPECT_FALSE(fs::exists(at("unvouched")));
  }
  // An empty file listed with another file's hash fails.
  {
    HandMadeCopy copy;
    copy.list.addFile(u"\\liar", timesAt(1000000000), test::hashOfBytes("x"), {});
    EXPECT_EQ(restore(copy), EntryResult::kFailed);
    EXPECT_EQ(lastFault, RestoreFault::kHashMismatch);
  }
  // Sections that open fine but hold other bytes than the list says: a
  // record stored under the wrong number.
  for (bool singleSection : {true, false}) {
    HandMadeCopy copy;
    if (singleSection) {
      copy.file(u"\\one", {"right"});
    } else {
      copy.file(u"\\two", {"first", "second"});
    }
    copy.records.begin()->second = test::sealForTest("wrong");
    EXPECT_EQ(restore(copy), EntryResult::kFailed) << singleSection;
    EXPECT_EQ(lastFault, RestoreFault::kHashMismatch);
    fs::remove_all(target);
    fs::create_directory(target);
  }
  // A digest handed in by the caller for the one section counts as the file's.
  {
    HandMadeCopy copy;
    copy.file(u"\\one", {"right"});
    RestoreWriter writer(pool, options());
    ByteBuffer payload = copy.payload();
    ASSERT_TRUE(writer.startRestore(payload.span(), target, true));
    requestAll(writer, copy);
    ASSERT_EQ(writer.nextEntry(), EntryResult::kWaitingForData);
    ByteBuffer wrongDigest = sha256(ByteBuffer(std::string_view("other")));
    EXPECT_FALSE(writer.writeSection(ByteBuffer(std::string_view("right")).span(), wrongDigest.data()));
    EXPECT_EQ(writer.fault(), RestoreFault::kHashMismatch);
  }
}

TEST_F(RestoreWriterTest, SectionsOfZerosArePassedOverAndTheFileKeepsEveryByte) {
  const std::string zeros(128 * 1024, '\0');
  std::string almost = zeros;
  almost.back() = 1;
  const std::string smallZeros(100, '\0');
  const std::string holeSized(64 * 1024, '\0');
  HandMadeCopy copy;
  // Zeros first, between data, and last, where only the length makes them.
  copy.file(u"\\image", {zeros, "data", zeros, almost, zeros});
  copy.file(u"\\small", {smallZeros});
  copy.file(u"\\tail", {"head", holeSized});
  ASSERT_EQ(restore(copy), EntryResult::kFinished);
  EXPECT_EQ(readFile(at("image")), zeros + "data" + zeros + almost + zeros);
  EXPECT_EQ(readFile(at("small")), smallZeros);
  EXPECT_EQ(readFile(at("tail")), "head" + holeSized);
}

TEST_F(RestoreWriterTest, AFileThatFailsItsCheckIsRemovedNotLeftLookingFinished) {
  // One file among several is listed with a wrong hash; it is read-only and
  // has stored times, which it must not get.
  HandMadeCopy copy;
  copy.folderStart(u"\\Top");
  copy.file(u"\\Top\\before.txt", {"good"}, timesAt(1100000000));
  const std::vector<ListSection> sections{{copy.section("bad "), test::hashOfBytes("bad ")},
                                          {copy.section("bytes"), test::hashOfBytes("bytes")}};
  ASSERT_TRUE(copy.list.addFile(u"\\Top\\bad.txt", timesAt(1150000000, kAttributeReadOnly),
                                test::hashOfBytes("other bytes"), sections));
  copy.file(u"\\Top\\after.txt", {"never reached"});
  copy.folderEnd(u"\\Top", timesAt(1300000000));

  EXPECT_EQ(restore(copy), EntryResult::kFailed);
  EXPECT_EQ(lastFault, RestoreFault::kHashMismatch);
  EXPECT_EQ(readFile(at("Top/before.txt")), "good");
  EXPECT_EQ(mtimeOf(at("Top/before.txt")), timesAt(1100000000).lastWriteTime);
  EXPECT_FALSE(fs::exists(at("Top/bad.txt")));
  EXPECT_FALSE(fs::exists(at("Top/after.txt")));
}

TEST_F(RestoreWriterTest, RefusesToStartWhenAPathWouldExceed260Characters) {
  HandMadeCopy copy;
  copy.file(u"\\abcdefghij", {"x"});  // 11 characters
  const std::string tooLong(250, 'p');
  {
    RestoreWriter writer(pool, options());
    ByteBuffer payload = copy.payload();
    EXPECT_FALSE(writer.startRestore(payload.span(), tooLong, true));
    EXPECT_TRUE(writer.pathTooLong());
  }
  // Exactly 260 is allowed.
  std::string fits = work.path() + "/";
  fits += std::string(249 - fits.size(), 'q');
  ASSERT_EQ(fits.size(), 249u);
  fs::create_directory(fits);
  RestoreWriter writer(pool, options());
  ByteBuffer payload = copy.payload();
  EXPECT_TRUE(writer.startRestore(payload.span(), fits, true));
  EXPECT_FALSE(writer.pathTooLong());
}

TEST_F(RestoreWriterTest, NeverReplacesWhatIsThere) {
  test::writeFile(at("b.txt"), "mine");
  HandMadeCopy copy;
  copy.file(u"\\a.txt", {"first"});
  copy.file(u"\\b.txt", {"second"});
  copy.file(u"\\c.txt", {"third"});
  EXPECT_EQ(restore(copy), EntryResult::kFailed);
  EXPECT_EQ(lastFault, RestoreFault::kFileCreate);
  EXPECT_EQ(lastMessage, "Error: Could not restore to folder, check if restore-folder already exist.");
  EXPECT_EQ(readFile(at("a.txt")), "first");
  EXPECT_EQ(readFile(at("b.txt")), "mine");
  EXPECT_FALSE(fs::exists(at("c.txt")));

  fs::create_directory(at("Docs"));
  HandMadeCopy folders;
  folders.folderStart(u"\\Docs");
  folders.folderEnd(u"\\Docs");
  EXPECT_EQ(restore(folders), EntryResult::kFailed);
  EXPECT_EQ(lastFault, RestoreFault::kFolderCreate);
}

TEST_F(RestoreWriterTest, MakesEveryFolderBeforeTheFirstFileAndFailsOnAnExistingOneFirst) {
  HandMadeCopy copy;
  copy.folderStart(u"\\A");
  copy.file(u"\\A\\one.txt", {"one"});
  copy.folderStart(u"\\A\\B");
  copy.folderEnd(u"\\A\\B", timesAt(1100000000));
  copy.folderEnd(u"\\A");
  copy.folderStart(u"\\C");
  copy.folderStart(u"\\C\\D");
  copy.file(u"\\C\\D\\two.txt", {"two"});
  copy.folderEnd(u"\\C\\D", timesAt(1200000000));
  copy.folderEnd(u"\\C");
  {
    RestoreWriter writer(pool, options());
    ByteBuffer payload = copy.payload();
    ASSERT_TRUE(writer.startRestore(payload.span(), target, true));
    requestAll(writer, copy);
    ASSERT_EQ(writer.nextEntry(), EntryResult::kWaitingForData);
    EXPECT_EQ(writer.currentName(), u"\\A\\one.txt");
    for (const char* folder : {"A", "A/B", "C", "C/D"}) EXPECT_TRUE(fs::is_directory(at(folder)));
    EXPECT_FALSE(fs::exists(at("C/D/two.txt")));
    ASSERT_TRUE(fillCurrentFile(writer));
    EXPECT_EQ(writeAll(writer), EntryResult::kFinished);
  }
  EXPECT_EQ(readFile(at("C/D/two.txt")), "two");
  // Folder times still come from the closing entries.
  EXPECT_EQ(mtimeOf(at("A/B")), timesAt(1100000000).lastWriteTime);
  EXPECT_EQ(mtimeOf(at("C/D")), timesAt(1200000000).lastWriteTime);

  // A folder that exists fails the restore before any file is made.
  fs::remove_all(target);
  fs::create_directory(target);
  fs::create_directories(at("C/D"));
  EXPECT_EQ(restore(copy), EntryResult::kFailed);
  EXPECT_EQ(lastFault, RestoreFault::kFolderCreate);
  EXPECT_FALSE(fs::exists(at("A/one.txt")));
}

TEST_F(RestoreWriterTest, NamesThatLeaveTheRestoreFolderAreRefusedBeforeAnythingIsWritten) {
  const std::u16string hostile[] = {
      u"\\..\\escaped",  u"\\Docs\\..\\..\\escaped", u"..\\escaped",   u"\\\\server\\share\\x",
      u"C:\\escaped",    u"c:escaped",              u"/tmp/escaped",  u"\\Docs\\.\\x",
      u"\\Docs\\\\x",    u"\\Docs/../../escaped",   u"\\",            u"",
      std::u16string(u"\\a\0b", 4),                  u"\\bad\xD800name"};
  for (const std::u16string& name : hostile) {
    HandMadeCopy copy;
    copy.folderStart(u"\\Docs");
    copy.file(u"\\Docs\\fine.txt", {"fine"});
    copy.file(name, {"evil"});
    copy.folderEnd(u"\\Docs");
    RestoreWriter writer(pool, options());
    ByteBuffer payload = copy.payload();
    EXPECT_FALSE(writer.startRestore(payload.span(), target, true));
    EXPECT_EQ(writer.fault(), RestoreFault::kUnsafeName);
    EXPECT_EQ(writer.currentName(), name);
    EXPECT_FALSE(writer.message().english.empty());
    EXPECT_EQ(fs::directory_iterator(target), fs::directory_iterator());
    EXPECT_FALSE(fs::exists(work.file("escaped")));
  }
}

TEST_F(RestoreWriterTest, SymlinksPlantedInTheRestoreFolderAreNeverFollowed) {
  const std::string outside = work.file("outside");
  fs::create_directory(outside);
  fs::create_directory_symlink(outside, at("Docs"));
  fs::create_symlink(outside + "/planted.txt", at("link.txt"));
  // Files under the planted folder, with and without their folder entries,
  // and a file whose own name is a planted link.
  for (bool withFolderEntries : {false, true}) {
    HandMadeCopy copy;
    if (withFolderEntries) copy.folderStart(u"\\Docs");
    copy.file(u"\\Docs\\x.txt", {"x"});
    if (withFolderEntries) copy.folderEnd(u"\\Docs");
    EXPECT_EQ(restore(copy), EntryResult::kFailed);
    EXPECT_EQ(lastFault, withFolderEntries ? RestoreFault::kFolderCreate : RestoreFault::kFileCreate);
  }
  HandMadeCopy linked;
  linked.file(u"\\link.txt", {"through the link"});
  EXPECT_EQ(restore(linked), EntryResult::kFailed);
  EXPECT_EQ(lastFault, RestoreFault::kFileCreate);
  EXPECT_EQ(fs::directory_iterator(outside), fs::directory_iterator());
}

TEST_F(RestoreWriterTest, ListedNamesBecomePathsBelowTheRestoreFolder) {
  EXPECT_EQ(restoreRelativePath(u"\\Docs\\a.txt"), "Docs/a.txt");
  EXPECT_EQ(restoreRelativePath(u"Docs\\a.txt"), "Docs/a.txt");
  EXPECT_EQ(restoreRelativePath(u"\\R\u00e4k\\..x\\\U0001F600"), "R\xC3\xA4k/..x/\xF0\x9F\x98\x80");
  EXPECT_EQ(restoreRelativePath(u"\\a:b"), "a:b");
}

TEST_F(RestoreWriterTest, SectionZeroFailsTheRequestPass) {
  HandMadeCopy copy;
  copy.file(u"\\a", {"a"});
  copy.list.addFile(u"\\zero", timesAt(1), test::hashOfBytes("z"),
                    std::vector<ListSection>{{0, test::hashOfBytes("z")}});
  RestoreWriter writer(pool, options());
  ByteBuffer payload = copy.payload();
  ASSERT_TRUE(writer.startRestore(payload.span(), target, true));
  ASSERT_TRUE(writer.createTempFolder());
  uint32_t number = 0;
  EXPECT_EQ(writer.nextSectionToRequest(&number), RequestResult::kSection);
  EXPECT_EQ(writer.nextSectionToRequest(&number), RequestResult::kFailed);
  EXPECT_EQ(writer.fault(), RestoreFault::kSectionNumberZero);
}

TEST_F(RestoreWriterTest, TheCancelFlagFileStopsEitherPass) {
  HandMadeCopy copy;
  copy.file(u"\\a", {"a"});
  copy.file(u"\\b", {"b"});
  {
    ASSERT_TRUE(writeCancelRequest(true));
    RestoreWriter writer(pool, options());
    ByteBuffer payload = copy.payload();
    ASSERT_TRUE(writer.startRestore(payload.span(), target, true));
    ASSERT_TRUE(writer.createTempFolder());
    uint32_t number = 0;
    EXPECT_EQ(writer.nextSectionToRequest(&number), RequestResult::kCancelled);
    EXPECT_EQ(writer.nextSectionToRequest(&number), RequestResult::kCancelled);
    ASSERT_TRUE(writeCancelRequest(false));
  }
  RestoreWriter writer(pool, options());
  ByteBuffer payload = copy.payload();
  ASSERT_TRUE(writer.startRestore(payload.span(), target, true));
  requestAll(writer, copy);
  ASSERT_TRUE(writeCancelRequest(true));
  EXPECT_EQ(writeAll(writer), EntryResult::kCancelled);
  EXPECT_EQ(writer.fault(), RestoreFault::kCancelled);
  EXPECT_FALSE(fs::exists(at("b")));
  ASSERT_TRUE(writer.removeTempFolder());
  EXPECT_TRUE(tempFolders(work.path()).empty());
}

TEST_F(RestoreWriterTest, KeepsRecordsAsReceivedAndSweepsWhatIsLeft) {
  RestoreWriter writer(pool, options());
  ASSERT_TRUE(writer.createTempFolder());
  const std::string folder = work.file(tempFolders(work.path()).at(0));
  ByteBuffer record(std::string_view("sealed bytes"));
  ASSERT_TRUE(writer.storeSection(42, record.span()));
  EXPECT_EQ(readFile(folder + "/data_42.bin"), std::string("\x0c\0\0\0sealed bytes", 16));
  EXPECT_EQ(writer.loadSection(42), record);
  EXPECT_FALSE(writer.loadSection(43).has_value());

  // A kept file that is cut short or has grown is not handed out.
  test::writeFile(folder + "/data_42.bin", std::string("\x0c\0\0\0sealed", 10));
  EXPECT_FALSE(writer.loadSection(42).has_value());
  test::writeFile(folder + "/data_42.bin", std::string("\x0c\0\0\0sealed bytes++", 18));
  EXPECT_FALSE(writer.loadSection(42).has_value());

  // A record longer than one call's worth of pieces comes back whole.
  ByteBuffer large(3 * 1024 * 1024 + 12345);
  for (uint32_t i = 0; i < large.size(); ++i) large.data()[i] = static_cast<uint8_t>(i * 131 + (i >> 13));
  ASSERT_TRUE(writer.storeSection(9, large.span()));
  EXPECT_EQ(fs::file_size(folder + "/data_9.bin"), large.size() + 4);
  EXPECT_EQ(writer.loadSection(9), large);
  ByteBuffer empty;
  ASSERT_TRUE(writer.storeSection(10, empty.span()));
  EXPECT_EQ(writer.loadSection(10), empty);

  ASSERT_TRUE(writer.storeSection(7, record.span()));
  ASSERT_TRUE(writer.dropSection(7));
  EXPECT_FALSE(fs::exists(folder + "/data_7.bin"));
  ASSERT_TRUE(writer.storeSection(8, record.span()));
  EXPECT_TRUE(writer.removeTempFolder());
  EXPECT_FALSE(fs::exists(folder));

  // The writer going away takes a forgotten folder with it.
  {
    RestoreWriter forgetful(pool, options());
    ASSERT_TRUE(forgetful.createTempFolder());
    ASSERT_TRUE(forgetful.storeSection(1, record.span()));
  }
  EXPECT_TRUE(tempFolders(work.path()).empty());
}

TEST_F(RestoreWriterTest, WritesTheProgressFileAtTheStartAndWhenAsked) {
  HandMadeCopy copy;
  copy.file(u"\\a", {"a", "b", "c"});
  RestoreWriter writer(pool, options());
  ByteBuffer payload = copy.payload();
  ASSERT_TRUE(writer.startRestore(payload.span(), target, true));
  std::optional<CopyProgress> progress = readCopyProgress();
  ASSERT_TRUE(progress.has_value());
  EXPECT_EQ(progress->done, 0u);
  EXPECT_EQ(progress->total, 3u);
  requestAll(writer, copy);
  ASSERT_EQ(writeAll(writer), EntryResult::kFinished);
  writer.saveProgress();
  EXPECT_EQ(readCopyProgress()->done, 3u);
}

TEST_F(RestoreWriterTest, CallsOutOfTurnFailCleanly) {
  RestoreWriter writer(pool, options());
  EXPECT_FALSE(writer.writeSection(ByteBuffer(std::string_view("x")).span()));
  EXPECT_EQ(writer.fault(), RestoreFault::kInternal);
  EXPECT_EQ(writer.nextEntry(), EntryResult::kFailed);

  HandMadeCopy copy;
  copy.file(u"\\a", {"a"});
  RestoreWriter early(pool, options());
  ByteBuffer payload = copy.payload();
  ASSERT_TRUE(early.startRestore(payload.span(), target, true));
  EXPECT_EQ(early.nextEntry(), EntryResult::kFailed);  // before the request pass
  EXPECT_FALSE(fs::exists(at("a")));

  RestoreWriter unreadable(pool, options());
  EXPECT_FALSE(unreadable.startRestore(payload.span().first(12), target, true));
  EXPECT_EQ(unreadable.fault(), RestoreFault::kListUnreadable);
}

}  // namespace
}  // namespace vl
