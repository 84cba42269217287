// The questions the backup engine puts to the user about what it cannot
// copy, and what each answer does. Runs without a callback object and
// automatic runs never ask: they leave the entry out and go on.
#include <string>

#include "engine/backup_engine.h"

namespace vl {
namespace {

std::string quoted(std::string_view leading, const std::string& path, std::string_view trailing) {
  std::string text(leading);
  text += '"';
  text += path;
  text += '"';
  text += trailing;
  return text;
}

constexpr std::string_view kAbortSv = "Vill du avbryta kopieringen?";

}  // namespace

void BackupEngine::exclude(const std::string& path, uint32_t cause) {
  logExclusion(options_.log, path, cause);
  excluded_.push_back(path);
}

BackupEngine::Answer BackupEngine::askUnreadableFile(const WalkEntry& entry) {
  const std::string& path = entry.full_path;
  BackupMainAction* ui = options_.callbacks;
  if (skipUnreadable_ || ui == nullptr || options_.automatic) {
    exclude(path, kExcludedUnreadableFile);
    return Answer::kGoOn;
  }
  const std::string sv =
      quoted("Kunde inte läsa filen ", path, ". Vill du fortsätta utan denna filen?");
  const std::string en =
      quoted("Could not read file ", path, ". Do you want to continue without this file?");
  for (;;) {
    uint32_t answer = ui->askQuestion(sv, en, 1);
    if (answer == BackupMainAction::kContinue) {
      exclude(path, kExcludedUnreadableFile);
      if (ui->askYesNo("Vill du hoppa över resterande filer som inte heller kan läsas? Vilka filer "
                       "som hoppats över kan läsas i kopierings-loggen som kommer visas efter "
                       "kopieringen.",
                       "Do you want to skip the rest of unreadabel files? Skiped files is listed "
                       "in the backup-logg shown after finished copy.",
                       false)) {
        skipUnreadable_ = true;
      }
      return Answer::kGoOn;
    }
    if (answer == BackupMainAction::kTryAgain) return Answer::kTryAgain;
    if (ui->askYesNo(kAbortSv, "Do you want to abourt copy process?", false)) {
      exclude(path, kExcludedUnreadableFile);
      cancel_->store(1);
      return Answer::kStop;
    }
  }
}

BackupEngine::Answer BackupEngine::askNameTooLong(const WalkEntry& entry) {
  const std::string& path = entry.full_path;
  BackupMainAction* ui = options_.callbacks;
  if (skipTooLong_ || ui == nullptr || options_.automatic) {
    exclude(path, kExcludedNameTooLong);
    return Answer::kGoOn;
  }
  const std::string sv =
      quoted("En fil har ett namn som är för långt för att kunna inkluderas i kopian: ", path,
             ". Vill du fortsätta utan denna filen?");
  const std::string en = quoted("The filename for this file is too long to be included in copy: ",
                                path, ". Do you want do continue without this file?");
  for (;;) {
    if (ui->askQuestion(sv, en, 0) != BackupMainAction::kCancel) {
      exclude(path, kExcludedNameTooLong);
      if (ui->askYesNo("Vill du hoppa över resterande filer som också har för långt filnamn? Vilka "
                       "filer som hoppats över kan läsas i kopierings-loggen som kommer visas "
                       "efter kopieringen.",
                       "Do you want to skip the rest of files with too long file name? Skiped "
                       "files is listed in the backup-logg shown after finished copy.",
                       false)) {
        skipTooLong_ = true;
      }
      return Answer::kGoOn;
    }
    if (ui->askYesNo(kAbortSv, "Do you want to abort copy process?", false)) {
      cancel_->store(1);
      return Answer::kStop;
    }
  }
}

BackupEngine::Answer BackupEngine::askUnopenableFolder(const WalkEntry& entry) {
  const std::string& path = entry.full_path;
  BackupMainAction* ui = options_.callbacks;
  if (ui == nullptr || options_.automatic) {
    exclude(path, kExcludedUnopenableFolder);
    return Answer::kGoOn;
  }
  // The question has only a Swedish text; it stands for both.
  const std::string text =
      quoted("Kan inte öppna den underliggande mappen ", path,
             ". Vill du fortsätta utan denna mapp och de filer eller mappar som finns i den?");
  uint32_t answer = ui->askQuestion(text, text, 1);
  if (answer == BackupMainAction::kTryAgain) return Answer::kTryAgain;
  exclude(path, kExcludedUnopenableFolder);
  // Cancel stops the run as a failed read of this folder, not as a cancel
  // by the user: the run ends with the read error naming the folder.
  return answer == BackupMainAction::kContinue ? Answer::kGoOn : Answer::kStop;
}

}  // namespace vl
