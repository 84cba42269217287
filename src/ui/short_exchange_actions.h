// The callback interfaces of the short exchanges: account setup, the list of
// stored copies, the archive, and taking an account over.
//
// Each class itself does nothing on any call; that is what a caller without
// windows passes. The dialogs derive from them. Calls arrive on the thread
// that runs the exchange; texts come in both languages, Swedish first.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace vl {

class SetupMainAction {
 public:
  SetupMainAction() = default;
  SetupMainAction(const SetupMainAction&) = delete;
  SetupMainAction& operator=(const SetupMainAction&) = delete;
  virtual ~SetupMainAction();

  // The account could not be created; `flag` is passed on from the exchange.
  virtual void setupFailed(std::string_view swedish, std::string_view english, uint32_t flag);
  // The account exists and its key files are written.
  virtual void setupSucceeded();
};

class ListRequestMainAction {
 public:
  ListRequestMainAction() = default;
  ListRequestMainAction(const ListRequestMainAction&) = delete;
  ListRequestMainAction& operator=(const ListRequestMainAction&) = delete;
  virtual ~ListRequestMainAction();

  // A new status line (this one exists in Swedish only).
  virtual void showStatus(std::string_view text);
  virtual void listFailed(std::string_view swedish, std::string_view english);
  // The request was cancelled while an answer arrived; the view closes.
  virtual void closeView();
  // Every requested copy has been described.
  virtual void listReady();
};

// One archived copy as the server describes it: three values the archive
// view shows, and the copy's size in bytes.
struct ArchivedCopy {
  uint32_t values[3] = {0, 0, 0};
  uint64_t size = 0;
};

class ArchiveMainAction {
 public:
  // Kinds of archiveDone.
  static constexpr uint32_t kListed = 1;
  static constexpr uint32_t kDeleted = 2;

  ArchiveMainAction() = default;
  ArchiveMainAction(const ArchiveMainAction&) = delete;
  ArchiveMainAction& operator=(const ArchiveMainAction&) = delete;
  virtual ~ArchiveMainAction();

  virtual void showArchiveMessage(std::string_view swedish, std::string_view english);
  // The server answered: with kListed `copies` are the archived copies; with
  // kDeleted the marked copies are gone and `copies` is what remains.
  virtual void archiveDone(uint32_t kind, const std::vector<ArchivedCopy>& copies);
};

class RecoverMainAction {
 public:
  RecoverMainAction() = default;
  RecoverMainAction(const RecoverMainAction&) = delete;
  RecoverMainAction& operator=(const RecoverMainAction&) = delete;
  virtual ~RecoverMainAction();

  virtual void recoverFailed(std::string_view swedish, std::string_view english);
  // The account's figures are stored; the account is usable here.
  virtual void recoverSucceeded();
};

}  // namespace vl
