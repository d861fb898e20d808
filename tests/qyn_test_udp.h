// A plain UDP socket of a test on loopback (IPv4 127.0.0.1 or IPv6 ::1), bound to a port the
// system picks (or a given one), for talking to a component over the network.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>

#include "qynBase_Types.h"

// A plain UDP socket of the test on loopback.
class RawClient {
public:
  explicit RawClient(int aFamily = AF_INET, uint16_t aBindPort = 0) : FFamily(aFamily) {
    FFd = ::socket(aFamily, SOCK_DGRAM, 0);
    if (FFd < 0) return;
    sockaddr_storage a{};
    socklen_t len = 0;
    Fill(a, len, aBindPort);
    if (::bind(FFd, reinterpret_cast<sockaddr*>(&a), len) != 0) {
      ::close(FFd);
      FFd = -1;
      return;
    }
    getsockname(FFd, reinterpret_cast<sockaddr*>(&a), &len);
    FPort = ntohs(aFamily == AF_INET ? reinterpret_cast<sockaddr_in*>(&a)->sin_port : reinterpret_cast<sockaddr_in6*>(&a)->sin6_port);
  }
  ~RawClient() {
    if (FFd >= 0) ::close(FFd);
  }
  bool Ok() const { return FFd >= 0; }
  uint16_t Port() const { return FPort; }
  void Send(uint16_t aPort, const TqynBytes& aBytes) {
    sockaddr_storage a{};
    socklen_t len = 0;
    Fill(a, len, aPort);
    ASSERT_EQ(::sendto(FFd, aBytes.data(), aBytes.size(), 0, reinterpret_cast<sockaddr*>(&a), len), static_cast<ssize_t>(aBytes.size()));
  }
  // The next datagram within aMs (empty when none came); aFromPort gets its source port.
  TqynBytes Receive(int aMs = 10000, uint16_t* aFromPort = nullptr) {
    pollfd p{FFd, POLLIN, 0};
    if (::poll(&p, 1, aMs) <= 0) return {};
    TqynBytes buf(8192);
    sockaddr_storage from{};
    socklen_t len = sizeof from;
    const ssize_t n = ::recvfrom(FFd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return {};
    buf.resize(static_cast<size_t>(n));
    if (aFromPort)
      *aFromPort = ntohs(FFamily == AF_INET ? reinterpret_cast<sockaddr_in*>(&from)->sin_port
                                            : reinterpret_cast<sockaddr_in6*>(&from)->sin6_port);
    return buf;
  }

private:
  void Fill(sockaddr_storage& a, socklen_t& len, uint16_t aPort) const {
    if (FFamily == AF_INET) {
      auto* s = reinterpret_cast<sockaddr_in*>(&a);
      s->sin_family = AF_INET;
      s->sin_port = htons(aPort);
      s->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      len = sizeof(sockaddr_in);
    } else {
      auto* s = reinterpret_cast<sockaddr_in6*>(&a);
      s->sin6_family = AF_INET6;
      s->sin6_port = htons(aPort);
      s->sin6_addr = in6addr_loopback;
      len = sizeof(sockaddr_in6);
    }
  }
  int FFamily;
  int FFd = -1;
  uint16_t FPort = 0;
};

