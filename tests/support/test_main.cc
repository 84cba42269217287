// Every test program runs with its own HOME (and no XDG overrides) inside a
// temporary folder, so nothing a test does reaches the real user's files.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

int main(int argc, char** argv) {
  std::string home = std::filesystem::temp_directory_path().string() + "/vlhome.XXXXXX";
  if (::mkdtemp(home.data()) == nullptr) return 1;
  ::setenv("HOME", home.c_str(), 1);
  for (const char* name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"}) ::unsetenv(name);
  ::testing::InitGoogleTest(&argc, argv);
  int result = RUN_ALL_TESTS();
  std::error_code ignored;
  std::filesystem::remove_all(home, ignored);
  return result;
}
