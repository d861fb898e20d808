// coturn's turnserver as a test peer: started on a free loopback port by the test, with the
// project's test user (qyn_user / kiwi_tea, realm Qynwire), and stopped by its process id (SIGTERM,
// then SIGKILL) and reaped when the object goes, so no process outlives a failing test.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "qyn_test_wait.h"
#include "qynP2P_STUN_Classes.h"

extern char** environ;

namespace qyn_test_coturn {

inline constexpr const char* kCoturnUser = "qyn_user";
inline constexpr const char* kCoturnPassword = "kiwi_tea";
inline constexpr const char* kCoturnRealm = "Qynwire";

inline sockaddr_in CoturnLoopback(uint16_t aPort) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(aPort);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

inline std::string FindTool(const std::string& aName) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(std::string(path ? path : "") + ":/usr/bin:/usr/sbin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string full = dir + "/" + aName;
    struct stat st {};
    if (::stat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(full.c_str(), X_OK) == 0) return full;
  }
  return {};
}

// A loopback port free for both UDP and TCP a moment ago.
inline uint16_t FreePort() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    const int t = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = CoturnLoopback(0);
    ::bind(t, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(t, reinterpret_cast<sockaddr*>(&a), &len);
    const int u = ::socket(AF_INET, SOCK_DGRAM, 0);
    const bool udpFree = ::bind(u, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(u);
    ::close(t);
    if (udpFree) return ntohs(a.sin_port);
  }
  return 0;
}

// True when a Binding request to the port gets any answer within aWaitMs.
inline bool Answers(uint16_t aPort, int aWaitMs) {
  const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
  TqynSTUN_Message m;
  m.Header().SetMessageType_Method(stmmBinding);
  m.Header().SetMessageType_Class(stmcRequest);
  m.Header().SetMagicCookie(QYN_STUN_MAGIC_COOKIE);
  m.Header().SetTransactionId(NewTransactionId());
  const TqynBytes bytes = m.Write();
  sockaddr_in to = CoturnLoopback(aPort);
  ::sendto(s, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  pollfd p{s, POLLIN, 0};
  const bool ok = ::poll(&p, 1, aWaitMs) > 0;
  ::close(s);
  return ok;
}

// Runs turnserver for the life of the object; the destructor stops it (SIGTERM, then SIGKILL)
// and reaps it, so no process is left behind when a test fails.
class TTurnServer {
public:
  // aExtra: further command-line options (for example "--allow-loopback-peers").
  TTurnServer(bool aSecureStun, bool aTCP, const std::vector<std::string>& aExtra = {}) {
    const std::string tool = FindTool("turnserver");
    if (tool.empty()) return;
    FLogFile = ::testing::TempDir() + "qyn_coturn_" + std::to_string(::getpid()) + ".log";
    for (int attempt = 0; attempt < 3 && !FReady; ++attempt) {
      FPort = FreePort();
      std::vector<std::string> args = {tool,
                                       "-n",
                                       "--listening-ip", "127.0.0.1",
                                       "--relay-ip", "127.0.0.1",
                                       "--listening-port", std::to_string(FPort),
                                       "--lt-cred-mech",
                                       "--user", std::string(kCoturnUser) + ":" + kCoturnPassword,
                                       "--realm", kCoturnRealm,
                                       "--fingerprint",
                                       "--no-tls", "--no-dtls", "--no-cli",
                                       "-m", "1",
                                       "--pidfile", FLogFile + ".pid",
                                       "--log-file", FLogFile,
                                       "--simple-log", "--no-stdout-log"};
      if (aSecureStun) args.push_back("--secure-stun");
      if (!aTCP) args.push_back("--no-tcp");
      args.insert(args.end(), aExtra.begin(), aExtra.end());
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      posix_spawn_file_actions_t actions;
      posix_spawn_file_actions_init(&actions);
      posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
      posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
      posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
      const int rc = posix_spawn(&FPid, tool.c_str(), &actions, nullptr, argv.data(), environ);
      posix_spawn_file_actions_destroy(&actions);
      if (rc != 0) {
        FPid = -1;
        return;
      }
      const auto end = TClock::now() + 10s;
      while (TClock::now() < end) {
        int status;
        if (::waitpid(FPid, &status, WNOHANG) == FPid) { // exited: port taken meanwhile, try again
          FPid = -1;
          break;
        }
        if (Answers(FPort, 100)) {
          FReady = true;
          break;
        }
      }
      if (!FReady) Stop();
    }
  }
  ~TTurnServer() {
    Stop();
    std::remove(FLogFile.c_str());
  }
  TTurnServer(const TTurnServer&) = delete;
  TTurnServer& operator=(const TTurnServer&) = delete;

  bool Ready() const { return FReady; }
  uint16_t Port() const { return FPort; }
  static bool Installed() { return !FindTool("turnserver").empty(); }

private:
  void Stop() {
    if (FPid <= 0) return;
    ::kill(FPid, SIGTERM);
    const auto end = TClock::now() + 5s;
    int status;
    while (::waitpid(FPid, &status, WNOHANG) != FPid) {
      if (TClock::now() > end) {
        ::kill(FPid, SIGKILL);
        ::waitpid(FPid, &status, 0);
        break;
      }
      std::this_thread::sleep_for(10ms);
    }
    FPid = -1;
  }

  pid_t FPid = -1;
  uint16_t FPort = 0;
  bool FReady = false;
  std::string FLogFile;
};

} // namespace qyn_test_coturn
