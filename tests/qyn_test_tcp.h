// Loopback TCP helpers for the TCP client tests: a plain listening server whose port is read back
// after binding port 0, and blocking reads and writes on accepted descriptors with deadlines.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qyn_test_wait.h"
#include "qynBase_Types.h"
#include "qynId_Sockets.h"

inline TqynBytes Bytes(const std::string& aText) { return TqynBytes(aText.begin(), aText.end()); }
inline std::string Text(const TqynBytes& aBytes) { return std::string(aBytes.begin(), aBytes.end()); }

// Asks TestServer for a port that is bound but refuses connections.
struct TNotListening {};
inline constexpr TNotListening NotListening{};

// A listener on 127.0.0.1 with room for aBacklog pending connections (0 fills at once).
class TestServer {
public:
  explicit TestServer(int aBacklog = 8) { Open(true, aBacklog); }
  explicit TestServer(TNotListening) { Open(false, 0); }
  TestServer(bool) = delete; // say NotListening or a backlog
  ~TestServer() {
    for (int fd : FPeers) ::close(fd);
    ::close(FFd);
  }
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;
  TIdPort Port() const { return FPort; }
  // One accepted connection (up to 10 s), -1 when none came. Closed with the server.
  int Accept(int aTimeoutMs = 10000) {
    pollfd p{FFd, POLLIN, 0};
    if (::poll(&p, 1, aTimeoutMs) != 1) return -1;
    const int fd = ::accept4(FFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) FPeers.push_back(fd);
    return fd;
  }
  void ClosePeer(int aFd) {
    ::close(aFd);
    std::erase(FPeers, aFd);
  }

private:
  void Open(bool aListen, int aBacklog) {
    FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(FFd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    if (aListen) {
      EXPECT_EQ(::listen(FFd, aBacklog), 0);
    }
    socklen_t len = sizeof a;
    ::getsockname(FFd, reinterpret_cast<sockaddr*>(&a), &len);
    FPort = ntohs(a.sin_port);
  }

  int FFd = -1;
  TIdPort FPort = 0;
  std::vector<int> FPeers;
};

// Up to aCount bytes, reading until they are all there, the peer closes or 10 s pass.
inline TqynBytes ReadExactly(int aFd, size_t aCount) {
  TqynBytes out;
  const auto end = TClock::now() + 10s;
  while (out.size() < aCount && TClock::now() < end) {
    pollfd p{aFd, POLLIN, 0};
    if (::poll(&p, 1, 100) != 1) continue;
    uint8_t buf[4096];
    const ssize_t n = ::recv(aFd, buf, std::min(sizeof buf, aCount - out.size()), 0);
    if (n <= 0) break;
    out.insert(out.end(), buf, buf + n);
  }
  return out;
}

// True when the peer closed (recv gives 0) within 10 s; data before the close is skipped.
inline bool WaitForEof(int aFd) {
  const auto end = TClock::now() + 10s;
  while (TClock::now() < end) {
    pollfd p{aFd, POLLIN, 0};
    if (::poll(&p, 1, 100) != 1) continue;
    uint8_t buf[4096];
    if (::recv(aFd, buf, sizeof buf, 0) <= 0) return true;
  }
  return false;
}

inline void SendAll(int aFd, const TqynBytes& aBytes) {
  ASSERT_EQ(::send(aFd, aBytes.data(), aBytes.size(), MSG_NOSIGNAL), ssize_t(aBytes.size()));
}
