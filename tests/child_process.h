// A program started by a test: its stdout and stderr are collected on a thread
// of their own (so a chatty program never blocks on a full pipe while the test
// waits for another one), and the test waits for text to appear in them.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kelva::test {

class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (reader_.joinable()) reader_.join();
  }

  // Starts argv[0] with exactly the environment env; false when it could not
  // be started. Collects stdout and stderr, or stdout alone.
  bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
             bool stdout_only = false) {
    int pipefd[2];
    if (::pipe2(pipefd, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, pipefd[1], 1);
    if (!stdout_only) posix_spawn_file_actions_adddup2(&fa, pipefd[1], 2);
    std::vector<std::string> a_copy = argv, e_copy = env;
    std::vector<char*> a, e;
    for (auto& s : a_copy) a.push_back(s.data());
    a.push_back(nullptr);
    for (auto& s : e_copy) e.push_back(s.data());
    e.push_back(nullptr);
    const int rc = ::posix_spawn(&pid_, a[0], &fa, nullptr, a.data(), e.data());
    posix_spawn_file_actions_destroy(&fa);
    ::close(pipefd[1]);
    if (rc != 0) {
      ::close(pipefd[0]);
      pid_ = -1;
      return false;
    }
    reader_ = std::thread([this, fd = pipefd[0]] { Collect(fd); });
    return true;
  }

  // Waits until the output contains text after position from (or the program
  // closed its output, or the time-out passed). Returns the position just
  // after the match, or std::string::npos.
  size_t WaitFor(const std::string& text, size_t from = 0, int timeout_s = 20) {
    std::unique_lock lock(mu_);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    for (;;) {
      const size_t at = output_.find(text, from);
      if (at != std::string::npos) return at + text.size();
      if (closed_) return std::string::npos;
      if (cv_.wait_until(lock, deadline) == std::cv_status::timeout) {
        const size_t last = output_.find(text, from);
        return last == std::string::npos ? last : last + text.size();
      }
    }
  }
  bool Contains(const std::string& text, size_t from = 0) {
    std::lock_guard lock(mu_);
    return output_.find(text, from) != std::string::npos;
  }
  std::string Output() {
    std::lock_guard lock(mu_);
    return output_;
  }
  size_t Size() {
    std::lock_guard lock(mu_);
    return output_.size();
  }

  void Signal(int signo) {
    if (pid_ > 0) ::kill(pid_, signo);
  }
  // Waits for the program to end (and for the rest of its output): its exit
  // status, -1 after the time-out, -2 when it was killed by a signal.
  int WaitExit(int timeout_s = 20) {
    if (pid_ <= 0) return -1;
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) return -1;
      ::usleep(10000);
    }
    pid_ = -1;
    if (reader_.joinable()) reader_.join();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
  }
  pid_t pid() const { return pid_; }

 private:
  void Collect(int fd) {
    char buf[4096];
    for (;;) {
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      std::lock_guard lock(mu_);
      if (n <= 0) {
        closed_ = true;
        cv_.notify_all();
        break;
      }
      output_.append(buf, static_cast<size_t>(n));
      cv_.notify_all();
    }
    ::close(fd);
  }

  pid_t pid_ = -1;
  std::thread reader_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::string output_;
  bool closed_ = false;
};

}  // namespace kelva::test
