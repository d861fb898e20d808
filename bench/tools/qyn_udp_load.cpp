// UDP load generator for the server benchmarks. Runs as its own process so that the server under
// test is measured without the load's CPU. It keeps a fixed number of requests outstanding from one
// socket, checks every answer, and prints one result line:
//   responses_per_sec=N sent=N received=N bad=N lost=N
//
// Modes:
//   echo     datagrams of --size bytes carrying a sequence number; an answer must equal the request
//   binding  STUN Binding requests (RFC 5389); an answer must be a Binding success response with
//            the request's transaction id and an XOR-MAPPED-ADDRESS equal to this socket's address
//
// A request unanswered after --timeout-ms counts as lost and its slot sends a new one.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::string host = "127.0.0.1";
  int port = 0;
  bool binding = false;
  int outstanding = 16;
  double seconds = 5;
  size_t size = 100;
  int timeoutMs = 200;
};

[[noreturn]] void Usage(const char* why) {
  std::fprintf(stderr,
               "qyn_udp_load: %s\n"
               "usage: qyn_udp_load --target HOST:PORT|[V6]:PORT [--mode echo|binding] [--outstanding N]\n"
               "                    [--seconds S] [--size BYTES] [--timeout-ms MS]\n",
               why);
  std::exit(2);
}

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) Usage(("missing value for " + a).c_str());
      return argv[++i];
    };
    if (a == "--target") {
      std::string t = next();
      size_t colon = t.rfind(':');
      if (colon == std::string::npos) Usage("target needs a port");
      o.host = t.substr(0, colon);
      if (o.host.size() >= 2 && o.host.front() == '[' && o.host.back() == ']') o.host = o.host.substr(1, o.host.size() - 2);
      o.port = std::atoi(t.c_str() + colon + 1);
    } else if (a == "--mode") {
      std::string m = next();
      if (m == "binding") o.binding = true;
      else if (m == "echo") o.binding = false;
      else Usage("mode must be echo or binding");
    } else if (a == "--outstanding") {
      o.outstanding = std::atoi(next().c_str());
    } else if (a == "--seconds") {
      o.seconds = std::atof(next().c_str());
    } else if (a == "--size") {
      o.size = static_cast<size_t>(std::atol(next().c_str()));
    } else if (a == "--timeout-ms") {
      o.timeoutMs = std::atoi(next().c_str());
    } else {
      Usage(("unknown argument " + a).c_str());
    }
  }
  if (o.port <= 0 || o.port > 65535) Usage("a target port is required");
  if (o.outstanding < 1 || o.outstanding > 4096) Usage("--outstanding must be 1..4096");
  if (o.size < 12 || o.size > 8192) Usage("--size must be 12..8192");
  return o;
}

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

struct Slot {
  std::vector<uint8_t> request;
  Clock::time_point sentAt;
};

class Load {
public:
  explicit Load(const Options& o) : FOpt(o), FRandom(std::random_device{}()) {}

  int Run() {
    sockaddr_storage target{};
    socklen_t targetLen = 0;
    int family = AF_INET;
    if (FOpt.host.find(':') != std::string::npos) {
      family = AF_INET6;
      auto* a6 = reinterpret_cast<sockaddr_in6*>(&target);
      a6->sin6_family = AF_INET6;
      a6->sin6_port = htons(static_cast<uint16_t>(FOpt.port));
      if (inet_pton(AF_INET6, FOpt.host.c_str(), &a6->sin6_addr) != 1) Usage("bad IPv6 address");
      targetLen = sizeof(sockaddr_in6);
    } else {
      auto* a4 = reinterpret_cast<sockaddr_in*>(&target);
      a4->sin_family = AF_INET;
      a4->sin_port = htons(static_cast<uint16_t>(FOpt.port));
      if (inet_pton(AF_INET, FOpt.host.c_str(), &a4->sin_addr) != 1) Usage("bad IPv4 address");
      targetLen = sizeof(sockaddr_in);
    }
    FSock = socket(family, SOCK_DGRAM, 0);
    if (FSock < 0 || connect(FSock, reinterpret_cast<sockaddr*>(&target), targetLen) != 0) {
      std::perror("qyn_udp_load: socket");
      return 1;
    }
    int buf = 4 << 20;
    setsockopt(FSock, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
    setsockopt(FSock, SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
    FLocalLen = sizeof FLocal;
    getsockname(FSock, reinterpret_cast<sockaddr*>(&FLocal), &FLocalLen);

    FSlots.resize(static_cast<size_t>(FOpt.outstanding));
    for (size_t i = 0; i < FSlots.size(); ++i) SendNew(i);

    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(FOpt.seconds));
    std::vector<uint8_t> in(65536);
    auto lastSweep = start;
    while (Clock::now() < end) {
      pollfd p{FSock, POLLIN, 0};
      poll(&p, 1, 5);
      for (;;) {
        ssize_t n = recv(FSock, in.data(), in.size(), MSG_DONTWAIT);
        if (n < 0) break;
        OnAnswer(in.data(), static_cast<size_t>(n));
      }
      const auto now = Clock::now();
      if (now - lastSweep > std::chrono::milliseconds(10)) {
        lastSweep = now;
        for (size_t i = 0; i < FSlots.size(); ++i) {
          if (now - FSlots[i].sentAt > std::chrono::milliseconds(FOpt.timeoutMs)) {
            ++FLost;
            SendNew(i);
          }
        }
      }
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("responses_per_sec=%.0f sent=%" PRIu64 " received=%" PRIu64 " bad=%" PRIu64 " lost=%" PRIu64 "\n",
                static_cast<double>(FGood) / elapsed, FSent, FReceived, FBad, FLost);
    close(FSock);
    return 0;
  }

private:
  void SendNew(size_t i) {
    Slot& s = FSlots[i];
    if (FOpt.binding) {
      s.request.assign(20, 0);
      s.request[1] = 0x01; // Binding request, length 0
      s.request[4] = 0x21; s.request[5] = 0x12; s.request[6] = 0xA4; s.request[7] = 0x42;
      const uint64_t seq = ++FSeq;
      std::memcpy(&s.request[8], &seq, 8);
      const uint32_t slot = static_cast<uint32_t>(i);
      std::memcpy(&s.request[16], &slot, 4);
    } else {
      s.request.resize(FOpt.size);
      for (auto& b : s.request) b = static_cast<uint8_t>(FRandom());
      const uint64_t seq = ++FSeq;
      std::memcpy(&s.request[0], &seq, 8);
      const uint32_t slot = static_cast<uint32_t>(i);
      std::memcpy(&s.request[8], &slot, 4);
    }
    s.sentAt = Clock::now();
    if (send(FSock, s.request.data(), s.request.size(), 0) == static_cast<ssize_t>(s.request.size())) ++FSent;
  }

  void OnAnswer(const uint8_t* d, size_t n) {
    ++FReceived;
    const size_t slotAt = FOpt.binding ? 16 : 8;
    if (n < slotAt + 4) { ++FBad; return; }
    uint32_t slot;
    std::memcpy(&slot, d + slotAt, 4);
    if (slot >= FSlots.size()) { ++FBad; return; }
    Slot& s = FSlots[slot];
    const size_t idAt = FOpt.binding ? 8 : 0;
    if (std::memcmp(d + idAt, s.request.data() + idAt, 12) != 0) return; // a late answer to a lost request
    if (FOpt.binding ? !ValidBinding(d, n) : !(n == s.request.size() && std::memcmp(d, s.request.data(), n) == 0)) {
      ++FBad;
    } else {
      ++FGood;
    }
    SendNew(slot);
  }

  bool ValidBinding(const uint8_t* d, size_t n) const {
    if (n < 20 || Get16(d) != 0x0101 || static_cast<size_t>(Get16(d + 2)) + 20 != n) return false;
    if (d[4] != 0x21 || d[5] != 0x12 || d[6] != 0xA4 || d[7] != 0x42) return false;
    size_t off = 20;
    while (off + 4 <= n) {
      const uint16_t type = Get16(d + off);
      const uint16_t len = Get16(d + off + 2);
      if (off + 4 + len > n) return false;
      if (type == 0x0020) return XorAddressIsMine(d + off + 4, len, d);
      off += 4 + ((len + 3u) & ~3u);
    }
    return false;
  }

  bool XorAddressIsMine(const uint8_t* v, uint16_t len, const uint8_t* header) const {
    if (len < 8) return false;
    const uint16_t port = Get16(v + 2) ^ 0x2112;
    if (FLocal.ss_family == AF_INET) {
      const auto* a = reinterpret_cast<const sockaddr_in*>(&FLocal);
      if (Get16(v) != 1 || len != 8 || port != ntohs(a->sin_port)) return false;
      uint8_t addr[4];
      for (int i = 0; i < 4; ++i) addr[i] = v[4 + i] ^ header[4 + i];
      return std::memcmp(addr, &a->sin_addr, 4) == 0;
    }
    const auto* a = reinterpret_cast<const sockaddr_in6*>(&FLocal);
    if (Get16(v) != 2 || len != 20 || port != ntohs(a->sin6_port)) return false;
    uint8_t addr[16];
    for (int i = 0; i < 16; ++i) addr[i] = v[4 + i] ^ header[4 + i]; // cookie, then transaction id
    return std::memcmp(addr, &a->sin6_addr, 16) == 0;
  }

  Options FOpt;
  std::mt19937 FRandom;
  int FSock = -1;
  sockaddr_storage FLocal{};
  socklen_t FLocalLen = 0;
  std::vector<Slot> FSlots;
  uint64_t FSeq = 0, FSent = 0, FReceived = 0, FGood = 0, FBad = 0, FLost = 0;
};

} // namespace

int main(int argc, char** argv) {
  Options o = Parse(argc, argv);
  return Load(o).Run();
}
