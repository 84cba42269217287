// vardlok and vl_server as processes, for the tests that run the programs
// the way a user does: each vardlok run is a process of its own with its own
// HOME, and the server runs on a free loopback port with a fresh data folder
// and the development key.
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

namespace vl::test {

// One user's computer: a HOME of its own, and the working directory in it.
struct Computer {
  TempDir home;
  std::string workingFile(const std::string& name) const {
    return home.path() + "/.local/share/VL_wd/" + name;
  }

  // Runs vardlok with `args` to its end, standard input closed; its exit
  // status, stderr in `errors` and stdout in `output` when given.
  int vardlok(const std::vector<std::string>& args, std::string* errors = nullptr,
              std::string* output = nullptr) const {
    return program(VARDLOK_PATH, args, errors, output);
  }

  // The same for the program at `path` (vl_client, say).
  int program(const char* path, const std::vector<std::string>& args,
              std::string* errors = nullptr, std::string* output = nullptr) const {
    std::vector<std::string> env = {"HOME=" + home.path(), "PATH=/usr/bin:/bin"};
    std::vector<char*> argv{const_cast<char*>(path)};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    const std::string errPath = home.file("stderr.txt");
    const std::string outPath = home.file("stdout.txt");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    pid_t child = 0;
    const int spawned =
        ::posix_spawn(&child, path, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    int status = 0;
    ::waitpid(child, &status, 0);
    if (errors != nullptr) *errors = readFile(errPath);
    if (output != nullptr) *output = readFile(outPath);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

#ifdef VL_SERVER_PATH

// A running vl_server with a fresh data folder and the development key.
class RunningServer {
 public:
  explicit RunningServer(std::vector<std::string> extra = {}) {
    data_ = dir_.file("data");
    if (run({"init", "--data", data_, "--key-file", VL_DEV_SERVER_KEY}) != 0) return;
    int out[2];
    if (::pipe(out) != 0) return;
    std::vector<std::string> args = {VL_SERVER_PATH, "run",         "--data",       data_,
                                     "--listen",     "127.0.0.1:0", "--reserved-gib", "40"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      const int err = ::open(dir_.file("server.err").c_str(), O_WRONLY | O_CREAT, 0600);
      ::dup2(err, 2);
      ::close(out[0]);
      ::execv(VL_SERVER_PATH, argv.data());
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
  std::string data() const { return data_; }
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
