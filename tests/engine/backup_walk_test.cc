#include "engine/backup_walk.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/copy_progress_file.h"
#include "engine/folder_scan.h"
#include "engine/test_tree.h"
#include "engine/unprivileged.h"
#include "support/temp_dir.h"

namespace vl {
namespace {

using test::TempDir;
using test::writeFile;

void folder(const std::string& path) { ASSERT_EQ(::mkdir(path.c_str(), 0755), 0); }

// Writes down every folder entry and reuses the files it is told to.
class RecordingSink : public WalkSink {
 public:
  bool folderStarted(std::string_view relative_path) override {
    events.push_back("start " + std::string(relative_path));
    return refuse_folders == 0 || --refuse_folders > 0;
  }
  bool folderEnded(std::string_view relative_path, const FileInfo& info) override {
    events.push_back("end " + std::string(relative_path));
    folder_info[std::string(relative_path)] = info;
    return true;
  }
  bool reuseUnchanged(const WalkEntry& entry, uint32_t* sections) override {
    if (entry.relative_path.find("\\same") == std::string::npos) return false;
    reused.push_back(entry.relative_path);
    *sections = 7;
    return true;
  }

  int refuse_folders = 0;  // refuse the n-th folder entry (0: never)
  std::vector<std::string> events;
  std::vector<std::string> reused;
  std::map<std::string, FileInfo> folder_info;
};

struct WalkResult {
  std::vector<WalkStep> steps;
  std::vector<WalkEntry> entries;
  WalkStep last = WalkStep::kFailed;
};

// Runs the walk to its end, answering every pending error by leaving the
// folder out.
WalkResult walkAll(BackupWalk& walk, RecordingSink* sink) {
  WalkResult result;
  for (int guard = 0; guard < 10000; ++guard) {
    WalkEntry entry;
    WalkStep step = walk.next(&entry);
    if (step == WalkStep::kFinished || step == WalkStep::kFailed) {
      result.last = step;
      return result;
    }
    result.steps.push_back(step);
    if (sink != nullptr && step == WalkStep::kFile) sink->events.push_back("file " + entry.relative_path);
    result.entries.push_back(std::move(entry));
  }
  ADD_FAILURE() << "the walk does not end";
  return result;
}

std::string parentOf(const std::string& relative) { return relative.substr(0, relative.rfind('\\')); }

TEST(BackupWalk, DepthFirstWithFolderEntriesAroundTheirContent) {
  TempDir dir;
  test::makeTree(dir, {{"A/", ""}, {"A/f1", "one"}, {"A/sub/", ""}, {"A/sub/g1", "g"},
                       {"A/sub/g2", "gg"}, {"A/sub/deeper/", ""}, {"A/sub/deeper/h1", "h"},
                       {"A/empty/", ""}, {"A/z", "z"}, {"B/", ""}, {"B/x", "xx"}});

  RecordingSink sink;
  std::atomic<uint8_t> cancel{0};
  BackupWalk::Options options;
  options.cancel_file = dir.file("cf.bin");
  BackupWalk walk(walkRoots({dir.file("A"), dir.file("B") + "/"}), options, &cancel, nullptr, &sink);
  WalkResult result = walkAll(walk, &sink);
  EXPECT_EQ(result.last, WalkStep::kFinished);

  // Every event sits inside the folder it belongs to, folders nest properly
  // and the second selected folder comes after the first.
  std::vector<std::string> open;
  std::set<std::string> files;
  for (const std::string& event : sink.events) {
    const size_t space = event.find(' ');
    const std::string kind = event.substr(0, space);
    const std::string path = event.substr(space + 1);
    if (kind == "start") {
      if (!open.empty()) {
        EXPECT_EQ(parentOf(path), open.back()) << event;
      }
      open.push_back(path);
    } else if (kind == "end") {
      ASSERT_FALSE(open.empty()) << event;
      EXPECT_EQ(open.back(), path);
      open.pop_back();
    } else {
      ASSERT_FALSE(open.empty()) << event;
      EXPECT_EQ(parentOf(path), open.back()) << event;
      files.insert(path);
    }
  }
  EXPECT_TRUE(open.empty());
  EXPECT_EQ(sink.events.front(), "start \\A");
  EXPECT_EQ(sink.events[sink.events.size() - 4], "end \\A");
  EXPECT_EQ(std::vector<std::string>(sink.events.end() - 3, sink.events.end()),
            (std::vector<std::string>{"start \\B", "file \\B\\x", "end \\B"}));
  EXPECT_EQ(files, (std::set<std::string>{"\\A\\f1", "\\A\\sub\\g1", "\\A\\sub\\g2",
                                          "\\A\\sub\\deeper\\h1", "\\A\\z", "\\B\\x"}));
  EXPECT_EQ(walk.foldersEntered(), 5u);
  EXPECT_EQ(walk.filesPassed(), 6u);

  // Entries carry the full path on this machine and what it says about the file.
  for (const WalkEntry& entry : result.entries) {
    std::string expected = entry.relative_path.substr(1);
    std::replace(expected.begin(), expected.end(), '\\', '/');
    EXPECT_EQ(entry.full_path, dir.file(expected));
    FileInfo info;
    ASSERT_TRUE(readFileInfo(entry.full_path, &info));
    EXPECT_EQ(entry.size, info.size);
    EXPECT_EQ(entry.last_write_time, info.last_write_time);
    EXPECT_EQ(entry.creation_time, info.creation_time);
    EXPECT_EQ(entry.attributes, kAttributeArchive);
  }
  // A folder's end entry carries its own times.
  FileInfo sub_info;
  ASSERT_TRUE(readFileInfo(dir.file("A/sub"), &sub_info));
  EXPECT_EQ(sink.folder_info["\\A\\sub"].last_write_time, sub_info.last_write_time);
  EXPECT_EQ(sink.folder_info["\\A\\sub"].kind, FileKind::kFolder);

  // Asking again after the end changes nothing.
  WalkEntry entry;
  EXPECT_EQ(walk.next(&entry), WalkStep::kFinished);
}

TEST(BackupWalk, AgreesWithTheMeasuringScanOnWhatIsAFile) {
  TempDir dir;
  folder(dir.file("r"));
  writeFile(dir.file("r/real"), "12345");
  writeFile(dir.file("r/.hidden"), "12");
  ASSERT_EQ(::symlink("real", dir.file("r/link").c_str()), 0);
  ASSERT_EQ(::symlink("..", dir.file("r/loop").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere", dir.file("r/dangling").c_str()), 0);
  ASSERT_EQ(::mkfifo(dir.file("r/pipe").c_str(), 0644), 0);
  folder(dir.file("r/$RECYCLE.BIN"));
  writeFile(dir.file("r/$RECYCLE.BIN/old"), "x");

  for (bool include_hidden : {false, true}) {
    BackupWalk::Options options;
    options.include_hidden = include_hidden;
    options.cancel_file = dir.file("cf.bin");
    BackupWalk walk(walkRoots({dir.file("r")}), options, nullptr, nullptr, nullptr);
    WalkResult result = walkAll(walk, nullptr);
    EXPECT_EQ(result.last, WalkStep::kFinished);
    std::map<std::string, WalkEntry> handed;
    for (size_t i = 0; i < result.entries.size(); ++i) {
      EXPECT_EQ(result.steps[i], WalkStep::kFile) << result.entries[i].relative_path;
      handed[result.entries[i].relative_path] = result.entries[i];
    }
    // The link is backed up as the file it points to, under its own name.
    ASSERT_EQ(handed.count("\\r\\link"), 1u);
    EXPECT_EQ(handed["\\r\\link"].size, 5u);
    EXPECT_EQ(handed.count("\\r\\.hidden"), include_hidden ? 1u : 0u);
    if (include_hidden) {
      EXPECT_EQ(handed["\\r\\.hidden"].attributes, kAttributeArchive | kAttributeHidden);
    }
    FolderMainAction callback;
    ScanRequest request;
    request.path = dir.file("r");
    request.include_hidden = include_hidden;
    ScanTotals totals;
    ASSERT_TRUE(measureFolder(request, callback, &totals));
    EXPECT_EQ(totals.files, handed.size());
  }
}

TEST(BackupWalk, NamesAListCannotHoldAreReportedNotHandedOut) {
  TempDir dir;
  test::makeTree(dir, {{"r/", ""}, {"r/back\\slash", "x"}, {"r/bad\xFFutf8", "x"},
                       {"r/odd\\folder/", ""}, {"r/odd\\folder/inner", "x"}, {"r/fine", "x"}});
  BackupWalk::Options options;
  options.cancel_file = dir.file("cf.bin");
  BackupWalk walk(walkRoots({dir.file("r")}), options, nullptr, nullptr, nullptr);
  WalkResult result = walkAll(walk, nullptr);
  std::set<std::string> uncheckable;
  std::set<std::string> files;
  for (size_t i = 0; i < result.steps.size(); ++i) {
    (result.steps[i] == WalkStep::kUncheckable ? uncheckable : files).insert(result.entries[i].full_path);
  }
  EXPECT_EQ(files, std::set<std::string>{dir.file("r/fine")});
  EXPECT_EQ(uncheckable, (std::set<std::string>{dir.file("r/back\\slash"), dir.file("r/bad\xFFutf8"),
                                                dir.file("r/odd\\folder")}));
}

TEST(BackupWalk, FullPathsOf242UnitsAreTooLong) {
  TempDir dir;
  folder(dir.file("r"));
  // Units, not bytes: ä is one UTF-16 unit, the emoji two.
  const std::string root = dir.file("r");
  auto nameFor = [&](size_t total_units) {
    const size_t units = total_units - root.size() - 1;  // the root path is ASCII
    return "ä\xF0\x9F\x98\x80" + std::string(units - 3, 'x');
  };
  writeFile(root + "/" + nameFor(241), "ok");
  writeFile(root + "/" + nameFor(242), "long");
  BackupWalk::Options options;
  options.cancel_file = dir.file("cf.bin");
  BackupWalk walk(walkRoots({root}), options, nullptr, nullptr, nullptr);
  WalkResult result = walkAll(walk, nullptr);
  ASSERT_EQ(result.entries.size(), 2u);
  std::map<size_t, WalkStep> by_size;
  for (size_t i = 0; i < 2; ++i) by_size[result.entries[i].size] = result.steps[i];
  EXPECT_EQ(by_size[2], WalkStep::kFile);
  EXPECT_EQ(by_size[4], WalkStep::kNameTooLong);
  EXPECT_EQ(walk.filesPassed(), 2u);
}

class RecordingProgress : public BackupMainAction {
 public:
  void advanceProgress(uint32_t step, uint32_t done, uint32_t total, uint64_t bytes) override {
    calls.push_back({step, done, total, static_cast<uint32_t>(bytes)});
  }
  std::vector<std::vector<uint32_t>> calls;
};

TEST(BackupWalk, QuickCompareReusesUnchangedFilesWithoutHandingThemOut) {
  TempDir dir;
  test::makeTree(dir, {{"r/", ""}, {"r/same1", "aaa"}, {"r/changed", "bb"}, {"r/same2", "c"}});
  RecordingProgress callback;
  BackupProgress progress(&callback, 100, dir.file("progr.bin"));
  for (bool quick : {false, true}) {
    RecordingSink sink;
    BackupWalk::Options options;
    options.quick_compare = quick;
    options.cancel_file = dir.file("cf.bin");
    BackupWalk walk(walkRoots({dir.file("r")}), options, nullptr, &progress, &sink);
    WalkResult result = walkAll(walk, nullptr);
    EXPECT_EQ(result.entries.size(), quick ? 1u : 3u);
    EXPECT_EQ(walk.nameReusedFiles(), quick ? 2u : 0u);
    EXPECT_EQ(walk.filesPassed(), 3u);
  }
  // Each reused file advanced progress by its sections and size at once.
  ASSERT_EQ(callback.calls.size(), 2u);
  EXPECT_EQ(callback.calls[1][0], 7u);
  EXPECT_EQ(callback.calls[1][1], 14u);
  EXPECT_EQ(callback.calls[1][2], 100u);
  EXPECT_EQ(callback.calls[1][3], 4u);
  EXPECT_EQ(progress.done(), 14u);
  // The first advance is written at once; later ones wait for the next second.
  auto stored = readCopyProgress(dir.file("progr.bin"));
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(stored->done, 7u);
  EXPECT_EQ(stored->total, 100u);
  ASSERT_TRUE(progress.writeNow());
  EXPECT_EQ(readCopyProgress(dir.file("progr.bin"))->done, 14u);
}

TEST(BackupWalk, ARefusedFolderEntryStopsTheWalk) {
  TempDir dir;
  folder(dir.file("r"));
  folder(dir.file("r/sub"));
  RecordingSink sink;
  sink.refuse_folders = 2;
  BackupWalk::Options options;
  options.cancel_file = dir.file("cf.bin");
  BackupWalk walk(walkRoots({dir.file("r")}), options, nullptr, nullptr, &sink);
  EXPECT_EQ(walkAll(walk, nullptr).last, WalkStep::kFailed);
  EXPECT_FALSE(walk.cancelled());
}

uint32_t fake_now = 0;

TEST(BackupWalk, StopsOnTheCancelFlagAndOnTheCancelFile) {
  TempDir dir;
  folder(dir.file("r"));
  for (int i = 0; i < 5; ++i) writeFile(dir.file("r/f" + std::to_string(i)), "x");
  BackupWalk::Options options;
  options.cancel_file = dir.file("cf.bin");

  std::atomic<uint8_t> cancel{0};
  BackupWalk flagged(walkRoots({dir.file("r")}), options, &cancel, nullptr, nullptr);
  WalkEntry entry;
  EXPECT_EQ(flagged.next(&entry), WalkStep::kFile);
  cancel = 1;
  EXPECT_EQ(flagged.next(&entry), WalkStep::kFailed);
  EXPECT_TRUE(flagged.cancelled());

  // "cf.bin" is read at most once a second, by the walk's clock.
  cancel = 0;
  fake_now = 5000;
  options.clock = [] { return fake_now; };
  BackupWalk polled(walkRoots({dir.file("r")}), options, &cancel, nullptr, nullptr);
  EXPECT_EQ(polled.next(&entry), WalkStep::kFile);  // "cf.bin" read: no request
  writeFile(dir.file("cf.bin"), std::string("\x01\x00\x00\x00\x01", 5));
  fake_now += 999;
  EXPECT_EQ(polled.next(&entry), WalkStep::kFile);  // not read again yet
  EXPECT_FALSE(polled.cancelled());
  fake_now += 1;
  EXPECT_EQ(polled.next(&entry), WalkStep::kFailed);
  EXPECT_TRUE(polled.cancelled());
  EXPECT_EQ(cancel.load(), 1);
}

TEST(BackupWalk, UnreadableFoldersArePendingErrorsThatMayBeRetried) {
  TempDir dir;
  test::makeTree(dir, {{"r/", ""}, {"r/a", "a"}, {"r/closed/", ""}, {"r/closed/inside", "i"},
                       {"locked/", ""}, {"locked/l", "l"}, {"s/", ""}, {"s/b", "b"}});
  test::openToEveryone(dir.path());

  const std::string closed = dir.file("r/closed");
  const std::string locked = dir.file("locked");
  auto text = test::runUnprivileged([&] {
    std::string log;
    auto note = [&](WalkStep step, const WalkEntry& entry) {
      log += std::to_string(static_cast<int>(step)) + " " + entry.relative_path + " " +
             entry.full_path + "\n";
    };
    BackupWalk::Options options;
    options.cancel_file = dir.file("cf.bin");
    for (bool retry : {false, true}) {
      if (::chmod(closed.c_str(), 0) != 0 || ::chmod(locked.c_str(), 0) != 0) return std::string("chmod");
      log += retry ? "retry\n" : "skip\n";
      BackupWalk walk(walkRoots({dir.file("r"), locked, dir.file("s")}), options, nullptr, nullptr, nullptr);
      WalkEntry entry;
      int unreadable_seen = 0;
      for (WalkStep step; (step = walk.next(&entry)) != WalkStep::kFinished;) {
        if (step == WalkStep::kFailed) return log + "failed";
        note(step, entry);
        if (step == WalkStep::kFile) continue;
        // Retrying while the folder is still closed gives the same error.
        if (retry && ++unreadable_seen % 2 == 1) {
          walk.retryPendingFolder();
          continue;
        }
        if (retry) {
          ::chmod(entry.full_path.c_str(), 0755);
          walk.retryPendingFolder();
        }
      }
    }
    return log;
  });
  ASSERT_TRUE(text.has_value()) << "could not run as an ordinary user";
  const std::string sub_error = "1 \\r\\closed " + closed + "\n";
  const std::string root_error = "2 \\locked " + locked + "\n";
  const std::string inside = "0 \\r\\closed\\inside " + closed + "/inside\n";
  const std::string in_locked = "0 \\locked\\l " + locked + "/l\n";
  const size_t split = text->find("retry\n");
  ASSERT_NE(split, std::string::npos) << *text;
  const std::string skipped = text->substr(0, split);
  const std::string retried = text->substr(split);
  // Left out: one report each, and nothing from inside.
  EXPECT_NE(skipped.find(sub_error), std::string::npos) << skipped;
  EXPECT_NE(skipped.find(root_error), std::string::npos) << skipped;
  EXPECT_EQ(skipped.find(inside), std::string::npos) << skipped;
  EXPECT_EQ(skipped.find(in_locked), std::string::npos) << skipped;
  EXPECT_NE(skipped.find("0 \\s\\b "), std::string::npos) << skipped;
  // Retried: reported twice while closed, then walked once opened.
  EXPECT_NE(retried.find(sub_error + sub_error + inside), std::string::npos) << retried;
  EXPECT_NE(retried.find(root_error + root_error + in_locked), std::string::npos) << retried;
  EXPECT_NE(retried.find("0 \\s\\b "), std::string::npos) << retried;
}

}  // namespace
}  // namespace vl
