// A program of the tree started by a test as a separate process, with its standard output and
// error read into buffers, signals sent to it, and its exit awaited with a deadline. The
// destructor kills a process that is still running.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

class TChildProcess {
public:
  // aArgs[0] is the program path. aDropEnv: environment variables the child does not get.
  explicit TChildProcess(const std::vector<std::string>& aArgs, const std::vector<std::string>& aDropEnv = {}) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      bool drop = false;
      for (const std::string& name : aDropEnv) drop = drop || entry.rfind(name + "=", 0) == 0;
      if (!drop) env.push_back(entry);
    }
    std::vector<char*> argv, envp;
    for (const std::string& a : aArgs) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    FPid = fork();
    if (FPid == 0) {
      dup2(out[1], 1);
      dup2(err[1], 2);
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    close(out[1]);
    close(err[1]);
    FOut = out[0];
    FErr = err[0];
  }
  ~TChildProcess() {
    if (FPid > 0 && !FExited) {
      kill(FPid, SIGKILL);
      waitpid(FPid, nullptr, 0);
    }
    if (FOut >= 0) close(FOut);
    if (FErr >= 0) close(FErr);
  }
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  bool Started() const { return FPid > 0; }
  pid_t Pid() const { return FPid; }
  const std::string& Out() const { return FOutText; }
  const std::string& Err() const { return FErrText; }
  void Signal(int aSignal) {
    if (FPid > 0 && !FExited) kill(FPid, aSignal);
  }

  // Reads output until aText appears in standard output (aStdErr false) or error; false at the
  // deadline or when both pipes closed before.
  bool WaitFor(const std::string& aText, bool aStdErr = false, std::chrono::milliseconds aDeadline = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + aDeadline;
    for (;;) {
      if ((aStdErr ? FErrText : FOutText).find(aText) != std::string::npos) return true;
      if (std::chrono::steady_clock::now() > end) return false;
      if (!ReadSome(20) && FOut < 0 && FErr < 0) return false;
    }
  }

  // As WaitFor, until aText appears aCount times in standard output.
  bool WaitForCount(const std::string& aText, int aCount, std::chrono::milliseconds aDeadline = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + aDeadline;
    for (;;) {
      int found = 0;
      for (size_t at = FOutText.find(aText); at != std::string::npos; at = FOutText.find(aText, at + 1)) ++found;
      if (found >= aCount) return true;
      if (std::chrono::steady_clock::now() > end) return false;
      if (!ReadSome(20) && FOut < 0 && FErr < 0) return false;
    }
  }

  // Waits for the exit (reading the rest of the output); the exit status, or -1 at the deadline
  // (the process keeps running), or 128 + signal number when a signal ended it.
  int WaitExit(std::chrono::milliseconds aDeadline = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + aDeadline;
    for (;;) {
      ReadSome(10);
      int status = 0;
      if (!FExited && waitpid(FPid, &status, WNOHANG) == FPid) {
        FExited = true;
        FStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      if (FExited && FOut < 0 && FErr < 0) return FStatus;
      if (std::chrono::steady_clock::now() > end) return FExited ? FStatus : -1;
    }
  }

  // Number of threads of the running process (from /proc), -1 when it cannot be read.
  int ThreadCount() const {
    const std::string path = "/proc/" + std::to_string(FPid) + "/status";
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f) return -1;
    char line[256];
    int count = -1;
    while (std::fgets(line, sizeof line, f))
      if (std::strncmp(line, "Threads:", 8) == 0) count = std::atoi(line + 8);
    std::fclose(f);
    return count;
  }

private:
  // Polls both pipes up to aMs; true when something was read.
  bool ReadSome(int aMs) {
    pollfd p[2] = {{FOut, POLLIN, 0}, {FErr, POLLIN, 0}};
    if (FOut < 0 && FErr < 0) return false;
    if (::poll(p, 2, aMs) <= 0) return false;
    bool any = false;
    any |= Drain(p[0], FOut, FOutText);
    any |= Drain(p[1], FErr, FErrText);
    return any;
  }
  static bool Drain(const pollfd& aPoll, int& aFd, std::string& aText) {
    if (aFd < 0 || !(aPoll.revents & (POLLIN | POLLHUP | POLLERR))) return false;
    char buf[4096];
    const ssize_t n = ::read(aFd, buf, sizeof buf);
    if (n <= 0) {
      close(aFd);
      aFd = -1;
      return false;
    }
    aText.append(buf, static_cast<size_t>(n));
    return true;
  }

  pid_t FPid = -1;
  int FOut = -1, FErr = -1;
  bool FExited = false;
  int FStatus = -1;
  std::string FOutText, FErrText;
};
