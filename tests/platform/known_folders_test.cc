#include "platform/known_folders.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>

#include "platform/os_version.h"
#include "platform/os_version_testing.h"
#include "support/temp_dir.h"

namespace vl {
namespace {

TEST(UserDirsTest, ResolvesHomeRelativeAndAbsoluteValues) {
  const std::string text =
      "# This file is written by xdg-user-dirs-update\n"
      "XDG_DESKTOP_DIR=\"$HOME/Skrivbord\"\n"
      "XDG_MUSIC_DIR=\"/srv/media/musik/\"\n"
      "  XDG_DOCUMENTS_DIR=\"$HOME/My \\\"Docs\\\"\"\n"
      "XDG_PICTURES_DIR=\"$HOMEPAGE/x\"\n"
      "XDG_VIDEOS_DIR=\"relative/path\"\n"
      "XDG_TEMPLATES_DIR=\"$HOME/\"\n";
  EXPECT_EQ(userDirFromText(text, "DESKTOP", "/home/a"), "/home/a/Skrivbord");
  EXPECT_EQ(userDirFromText(text, "MUSIC", "/home/a"), "/srv/media/musik");
  EXPECT_EQ(userDirFromText(text, "DOCUMENTS", "/home/a"), "/home/a/My \"Docs\"");
  EXPECT_FALSE(userDirFromText(text, "PICTURES", "/home/a"));
  EXPECT_FALSE(userDirFromText(text, "VIDEOS", "/home/a"));
  EXPECT_EQ(userDirFromText(text, "TEMPLATES", "/home/a"), "/home/a");
  EXPECT_FALSE(userDirFromText(text, "DOWNLOAD", "/home/a"));
  EXPECT_FALSE(userDirFromText("XDG_MUSIC_DIR=\"$HOME/unterminated\n", "MUSIC", "/home/a"));
}

// Sets environment variables for one test and puts the old values back.
class ScopedEnvironment {
 public:
  void set(const char* name, const std::string& value) {
    remember(name);
    ::setenv(name, value.c_str(), 1);
  }
  void unset(const char* name) {
    remember(name);
    ::unsetenv(name);
  }
  ~ScopedEnvironment() {
    for (auto& [name, value] : saved_) {
      if (value) ::setenv(name.c_str(), value->c_str(), 1);
      else ::unsetenv(name.c_str());
    }
  }

 private:
  void remember(const char* name) {
    const char* old = ::getenv(name);
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
  }
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST(KnownFoldersTest, FollowsTheXdgVariablesAndFallsBackToUsualNames) {
  test::TempDir home;
  ScopedEnvironment env;
  env.set("HOME", home.path() + "/");
  env.unset("XDG_DATA_HOME");
  env.unset("XDG_CONFIG_HOME");
  EXPECT_EQ(knownFolderPath(KnownFolder::kLocalAppData), home.path() + "/.local/share");
  EXPECT_EQ(knownFolderPath(KnownFolder::kMusic), home.path() + "/Music");
  EXPECT_EQ(knownFolderPath(KnownFolder::kDesktop), home.path() + "/Desktop");

  env.set("XDG_DATA_HOME", "relative/data");  // ignored: not absolute
  EXPECT_EQ(knownFolderPath(KnownFolder::kLocalAppData), home.path() + "/.local/share");
  env.set("XDG_DATA_HOME", home.file("data"));
  EXPECT_EQ(knownFolderPath(KnownFolder::kLocalAppData), home.file("data"));

  ::mkdir(home.file("cfg").c_str(), 0755);
  test::writeFile(home.file("cfg/user-dirs.dirs"),
                  "XDG_PICTURES_DIR=\"$HOME/Bilder\"\nXDG_DESKTOP_DIR=\"$HOME\"\n");
  env.set("XDG_CONFIG_HOME", home.file("cfg"));
  EXPECT_EQ(knownFolderPath(KnownFolder::kPictures), home.path() + "/Bilder");
  EXPECT_EQ(knownFolderPath(KnownFolder::kDocuments), home.path() + "/Documents");
  EXPECT_FALSE(knownFolderPath(KnownFolder::kDesktop)) << "turned off by pointing at home";
}

TEST(OsVersionTest, TestsCanPretendToRunElsewhere) {
  OsVersion real = operatingSystemVersion();
  EXPECT_GE(real.major, 6u);
  overrideOsVersionForTesting(OsVersion{5, 0});
  EXPECT_EQ(operatingSystemVersion().major, 5u);
  EXPECT_EQ(operatingSystemVersion().minor, 0u);
  overrideOsVersionForTesting(std::nullopt);
  EXPECT_EQ(operatingSystemVersion().major, real.major);
}

}  // namespace
}  // namespace vl
