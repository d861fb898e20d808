// A UDP peer for the TURN client tests that relay through a real server: a plain socket on a
// loopback port with a reader thread that records every datagram (with the sender's port) and a
// way to send to any loopback port. Stopped and joined when the object goes.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "stun_client/stun_client_test_util.h"

namespace turn_client_test {

class TPeer {
public:
  TPeer() {
    FSocket = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = stun_client_test::Loopback(0);
    ::bind(FSocket, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(FSocket, reinterpret_cast<sockaddr*>(&a), &len);
    FPort = ntohs(a.sin_port);
    FThread = std::thread([this] { Run(); });
  }
  ~TPeer() {
    FStop.store(true);
    FThread.join();
    ::close(FSocket);
  }
  TPeer(const TPeer&) = delete;
  TPeer& operator=(const TPeer&) = delete;

  uint16_t Port() const { return FPort; }
  size_t Count() {
    std::lock_guard<std::mutex> lock(FLock);
    return FReceived.size();
  }
  // Datagram i as text, with the port it came from.
  std::pair<std::string, uint16_t> Received(size_t i) {
    std::lock_guard<std::mutex> lock(FLock);
    return FReceived.at(i);
  }
  void SendTo(uint16_t aPort, const std::string& aText) {
    sockaddr_in to = stun_client_test::Loopback(aPort);
    ::sendto(FSocket, aText.data(), aText.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }

private:
  void Run() {
    char buf[2048];
    while (!FStop.load()) {
      pollfd p{FSocket, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      sockaddr_in from{};
      socklen_t len = sizeof from;
      const ssize_t n = ::recvfrom(FSocket, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n < 0) continue;
      std::lock_guard<std::mutex> lock(FLock);
      FReceived.emplace_back(std::string(buf, static_cast<size_t>(n)), ntohs(from.sin_port));
    }
  }

  int FSocket = -1;
  uint16_t FPort = 0;
  std::atomic<bool> FStop{false};
  std::mutex FLock;
  std::vector<std::pair<std::string, uint16_t>> FReceived;
  std::thread FThread;
};

inline std::string Text(const TqynBytes& aBytes) { return std::string(aBytes.begin(), aBytes.end()); }

} // namespace turn_client_test
