// qyn-bench-libs: qyn_turn_client qyn_stun_client
//
// ChannelData messages per second that the TURN client component pushes through a TURN server's
// relay and receives back: the client allocates (long-term credentials), binds channel 0x4000 to
// a UDP echo peer on loopback in this process, and keeps a window of messages in flight; each
// message goes client -> server -> relay -> peer -> relay -> server -> client. Every message
// received is answered at once by the next one from the client's read thread (neNoSync).
//
//   turn_channeldata_bench --port PORT [--seconds S] [--window N] [--size BYTES]
//                          [--user U --password P]
//       prints "messages_per_sec=N sent=N received=N lost=N bad=N client_cpu_ns_per_message=N
//       peer_cpu_ns_per_message=N"; the client figure is the CPU time (user and system) of this
//       process minus the echo peer's thread, per message received back.
//
// The server is started by the caller (bench/run_turn_channeldata.sh runs coturn's turnserver).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "qynP2P_TURN_Client.h"

namespace {

using TSteady = std::chrono::steady_clock;

int64_t ProcessCpuNs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return (static_cast<int64_t>(u.ru_utime.tv_sec) + u.ru_stime.tv_sec) * 1000000000LL +
         (static_cast<int64_t>(u.ru_utime.tv_usec) + u.ru_stime.tv_usec) * 1000LL;
}

int64_t ThreadCpuNs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

// A UDP echo peer on loopback: sends every datagram back to where it came from.
class TEchoPeer {
public:
  TEchoPeer() {
    FSocket = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(FSocket, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(FSocket, reinterpret_cast<sockaddr*>(&a), &len);
    FPort = ntohs(a.sin_port);
    const int size = 4 << 20;
    ::setsockopt(FSocket, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    FThread = std::thread([this] { Run(); });
  }
  ~TEchoPeer() {
    FStop.store(true);
    FThread.join();
    ::close(FSocket);
  }
  uint16_t Port() const { return FPort; }
  int64_t CpuNs() const { return FCpuNs.load(); }

private:
  void Run() {
    char buf[2048];
    while (!FStop.load()) {
      pollfd p{FSocket, POLLIN, 0};
      if (::poll(&p, 1, 20) > 0) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = ::recvfrom(FSocket, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n > 0) ::sendto(FSocket, buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), len);
      }
      FCpuNs.store(ThreadCpuNs());
    }
  }
  int FSocket = -1;
  uint16_t FPort = 0;
  std::atomic<bool> FStop{false};
  std::atomic<int64_t> FCpuNs{0};
  std::thread FThread;
};

bool WaitFor(const std::function<bool()>& aCondition, int aSeconds) {
  const auto end = TSteady::now() + std::chrono::seconds(aSeconds);
  while (!aCondition()) {
    if (TSteady::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

} // namespace

int main(int argc, char** argv) {
  int port = 0, seconds = 5, window = 16, size = 100;
  std::string user = "qyn_user", password = "kiwi_tea";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string k = argv[i];
    const char* v = argv[i + 1];
    if (k == "--port") port = std::atoi(v);
    else if (k == "--seconds") seconds = std::atoi(v);
    else if (k == "--window") window = std::atoi(v);
    else if (k == "--size") size = std::atoi(v);
    else if (k == "--user") user = v;
    else if (k == "--password") password = v;
  }
  if (port <= 0 || window <= 0 || size < 0 || size > 1400) {
    std::fprintf(stderr, "usage: %s --port PORT [--seconds S] [--window N] [--size BYTES]\n", argv[0]);
    return 2;
  }

  TEchoPeer peer;
  TqynTURNClient client;
  client.SetNotifyEvents(neNoSync);
  client.SetHost("127.0.0.1");
  client.SetPort(static_cast<TIdPort>(port));
  client.TURNOptions().Authentication.Credentials = stauLongTermCredential;
  client.TURNOptions().Authentication.Username = user;
  client.TURNOptions().Authentication.Password = password;

  std::atomic<int> allocated{0}, bound{0}, failed{0};
  std::atomic<bool> running{false};
  std::atomic<uint64_t> sent{0}, received{0}, bad{0};
  const TqynBytes payload(static_cast<size_t>(size), 0x5A);
  client.OnTURNAllocate = [&](TqynComponent_Base*, TqynSocketConnection*, TqynSTUN_Message*, TqynTURN_ResponseAllocation*) {
    allocated.store(1);
  };
  client.OnTURNChannelBind = [&](TqynComponent_Base*, TqynSocketConnection*, TqynSTUN_Message*, TqynTURN_ResponseChannelBind*) {
    bound.store(1);
  };
  client.OnSTUNResponseError = [&](TqynComponent_Base*, TqynSocketConnection*, TqynSTUN_Message*, TqynSTUN_ResponseError* e) {
    std::fprintf(stderr, "error response %d %s\n", e->FCode, e->FReason.c_str());
    failed.store(1);
  };
  client.OnSTUNException = [&](TqynComponent_Base*, const Exception& E) {
    std::fprintf(stderr, "exception: %s\n", E.Message().c_str());
    failed.store(1);
  };
  client.OnTURNChannelData = [&](TqynComponent_Base*, TqynSocketConnection*, TqynTURNChannelData* aData) {
    if (aData->ChannelID() != 0x4000 || aData->Data() != payload) ++bad;
    ++received;
    if (!running.load()) return;
    ++sent;
    client.SendChannelData(0x4000, payload);
  };

  client.Allocate();
  if (!WaitFor([&] { return allocated.load() || failed.load(); }, 10) || !allocated.load()) {
    std::fprintf(stderr, "no allocation\n");
    return 1;
  }
  client.ChannelBind("127.0.0.1", peer.Port());
  if (!WaitFor([&] { return bound.load() || failed.load(); }, 10) || !bound.load()) {
    std::fprintf(stderr, "no channel\n");
    return 1;
  }

  const int64_t cpuStart = ProcessCpuNs();
  const int64_t peerStart = peer.CpuNs();
  const auto start = TSteady::now();
  running.store(true);
  for (int i = 0; i < window; ++i) {
    ++sent;
    client.SendChannelData(0x4000, payload);
  }
  // Refills the window when messages were lost (nothing came back for a while).
  uint64_t lastReceived = 0;
  auto lastProgress = TSteady::now();
  while (TSteady::now() - start < std::chrono::seconds(seconds)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const uint64_t now = received.load();
    if (now != lastReceived) {
      lastReceived = now;
      lastProgress = TSteady::now();
      continue;
    }
    if (TSteady::now() - lastProgress > std::chrono::milliseconds(200)) {
      const uint64_t inFlight = sent.load() - received.load();
      for (uint64_t i = inFlight; i < static_cast<uint64_t>(window); ++i) {
        ++sent;
        client.SendChannelData(0x4000, payload);
      }
      lastProgress = TSteady::now();
    }
  }
  running.store(false);
  const double elapsed = std::chrono::duration<double>(TSteady::now() - start).count();
  const uint64_t got = received.load();
  const int64_t cpu = ProcessCpuNs() - cpuStart;
  const int64_t peerCpu = peer.CpuNs() - peerStart;
  std::this_thread::sleep_for(std::chrono::milliseconds(300)); // stragglers
  const uint64_t total = received.load();
  const uint64_t lost = sent.load() > total ? sent.load() - total : 0;
  std::printf("messages_per_sec=%.0f sent=%llu received=%llu lost=%llu bad=%llu client_cpu_ns_per_message=%.0f "
              "peer_cpu_ns_per_message=%.0f\n",
              got / elapsed, static_cast<unsigned long long>(sent.load()), static_cast<unsigned long long>(total),
              static_cast<unsigned long long>(lost), static_cast<unsigned long long>(bad.load()),
              got ? static_cast<double>(cpu - peerCpu) / static_cast<double>(got) : 0.0,
              got ? static_cast<double>(peerCpu) / static_cast<double>(got) : 0.0);
  client.Refresh(0);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  return bad.load() ? 1 : 0;
}
