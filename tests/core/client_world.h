// What the end-to-end tests of the client programs share: a computer (a
// HOME of its own, with the working directory in it) that runs vardlok and
// vl_client as processes, and a running vl_server on a free loopback port
// with a fresh data folder and the development key.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/child_output.h"
#include "support/temp_dir.h"

extern char** environ;

namespace vl::test {

// One user's computer: a HOME of its own, and the working directory in it.
struct Computer {
  TempDir home;
  std::string workingFile(const std::string& name) const {
    return home.path() + "/.local/share/VL_wd/" + name;
  }

  // Starts `program` with `args` and this computer's HOME; standard error
  // goes to "stderr.txt" in the home folder. The child's id, or -1.
  pid_t start(const char* program, const std::vector<std::string>& args) const {
    std::vector<std::string> env = {"HOME=" + home.path(), "PATH=/usr/bin:/bin"};
    // Sanitizer settings of the test run carry over to the program.
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry(*e);
      if (entry.rfind("ASAN_", 0) == 0 || entry.rfind("UBSAN_", 0) == 0) env.push_back(entry);
    }
    std::vector<char*> argv{const_cast<char*>(program)};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    const std::string errPath = home.file("stderr.txt");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    pid_t child = 0;
    const int spawned = ::posix_spawn(&child, program, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return spawned == 0 ? child : -1;
  }

  // Waits for a child of start(); its exit status, stderr in `errors`.
  int finish(pid_t child, std::string* errors = nullptr) const {
    if (child < 0) return -1;
    int status = 0;
    ::waitpid(child, &status, 0);
    if (errors != nullptr) *errors = readFile(home.file("stderr.txt"));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  int vardlok(const std::vector<std::string>& args, std::string* errors = nullptr) const {
    return finish(start(VARDLOK_PATH, args), errors);
  }
#ifdef VL_CLIENT_PATH
  int vlClient(const std::vector<std::string>& args, std::string* errors = nullptr) const {
    return finish(start(VL_CLIENT_PATH, args), errors);
  }
#endif
};

#ifdef VL_SERVER_PATH

// A running vl_server with a fresh data folder and the development key.
class RunningServer {
 public:
  explicit RunningServer(uint32_t reservedGib = 40) {
    data_ = dir_.file("data");
    if (run({"init", "--data", data_, "--key-file", VL_DEV_SERVER_KEY}) != 0) return;
    int out[2];
    if (::pipe(out) != 0) return;
    const std::string reserved = std::to_string(reservedGib);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      const int err = ::open(dir_.file("server.err").c_str(), O_WRONLY | O_CREAT, 0600);
      ::dup2(err, 2);
      ::close(out[0]);
      ::execl(VL_SERVER_PATH, VL_SERVER_PATH, "run", "--data", data_.c_str(), "--listen",
              "127.0.0.1:0", "--reserved-gib", reserved.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(out[1]);
    const std::string line = readChildOutput(out[0], 30, "\n");
    ::close(out[0]);
    const auto at = line.find("listening on 127.0.0.1:");
    if (at != std::string::npos) port_ = std::stoi(line.substr(at + 23));
  }
  ~RunningServer() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  int port() const { return port_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  std::string keyRecord() const { return data_ + "/server_key.rec"; }
  std::string log() const { return readFile(dir_.file("server.err")); }

 private:
  int run(const std::vector<std::string>& args) {
    const pid_t child = ::fork();
    if (child == 0) {
      std::vector<char*> argv{const_cast<char*>(VL_SERVER_PATH)};
      for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, 1);
      ::execv(VL_SERVER_PATH, argv.data());
      ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  TempDir dir_;
  std::string data_;
  pid_t pid_ = -1;
  int port_ = 0;
};

#endif  // VL_SERVER_PATH

}  // namespace vl::test
