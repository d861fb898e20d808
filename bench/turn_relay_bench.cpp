// qyn-bench-libs: qyn_turn_server qyn_stun_server
//
// Two programs in one, run as two processes by the relay benchmarks:
//
//   turn_relay_bench --serve [--port PORT] [--auth on|off]
//       hosts the TURN server component on 127.0.0.1 (the listening binding on its listener
//       thread, the relay bindings on the shared poller, neNoSync; user qyn_user / kiwi_tea,
//       realm Qynwire, when --auth is on, the default),
//       prints "port=N" once it listens and runs until SIGTERM or SIGINT; then it prints
//       "exceptions=N allocations=N" (what the server reported through OnSTUNException, and how
//       many allocations it made).
//
//   turn_relay_bench --load --target PORT [--allocations N] [--window W] [--seconds S]
//                    [--size BYTES] [--auth on|off] [--cpu-of PID]
//       a load generator against any TURN server on loopback: N client sockets each allocate
//       (long-term credentials when --auth is on), bind channel 0x4000 to an echo peer socket of
//       this process, and keep W ChannelData messages in flight each; every message goes
//       client -> server -> relay -> peer -> relay -> server -> client, so the server relays two
//       datagrams per message. Prints "messages_per_sec=N relayed_per_sec=N sent=N received=N
//       lost=N bad=N allocations=N", with --cpu-of also "server_cpu_ticks=N
//       server_switches_per_relayed=X": the user and system CPU ticks (CLK_TCK) process PID spent
//       during the measured interval, which begins after every allocation and channel is made, and
//       the context switches of all its threads in that interval per relayed datagram. A message not back within 200 ms counts as lost and
//       its slot sends a new one.
//
//   turn_relay_bench --micro [--count N]
//       the in-process cost of one relayed datagram in the server component, without sockets:
//       ChannelData from a client to its channel's peer, and a peer's datagram to the client as
//       ChannelData (fake socket objects with documentation addresses; the relayed datagrams
//       are counted, not sent). Prints "client_to_peer_ns=N peer_to_client_ns=N".
//
// bench/run_turn_relay_load.sh runs the load against this server and against coturn's turnserver
// and adds each server's CPU time per relayed datagram.

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "qynId_Hash.h"
#include "qynP2P_STUN_Classes.h"
#include "qynP2P_TURN_Server.h"

namespace {

using TSteady = std::chrono::steady_clock;

const std::string kUser = "qyn_user";
const std::string kPassword = "kiwi_tea";
constexpr uint16_t kChannel = 0x4000;

// ---------------------------------------------------------------------------------------------
// Server

int Serve(int aPort, bool aAuth) {
  // Signals are taken by sigwait on this thread only; the component's threads inherit the mask.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  std::atomic<int> exceptions{0}, allocations{0};
  TqynTURNServer server;
  server.SetNotifyEvents(neNoSync);
  server.TURNOptions().Authentication.Enabled = aAuth;
  server.OnSTUNRequestAuthorization = [](TqynComponent_Base*, TqynSTUN_Message*, const std::string& aUser, const std::string&,
                                         std::string& Password) {
    if (aUser == kUser) Password = kPassword;
  };
  server.OnSTUNException = [&](TqynComponent_Base*, const Exception&) { ++exceptions; };
  server.OnTURNCreateAllocation = [&](TqynComponent_Base*, TqynSocketConnection*, TqynTURNAllocationItem*) { ++allocations; };
  server.SetHost("127.0.0.1");
  server.SetPort(static_cast<TIdPort>(aPort));
  server.SetActive(true);
  if (!server.Active()) {
    std::fprintf(stderr, "cannot listen on 127.0.0.1:%d\n", aPort);
    return 1;
  }
  std::printf("port=%u\n", static_cast<unsigned>(server.Bindings().Items(0)->Port()));
  std::fflush(stdout);
  int signal = 0;
  sigwait(&stop, &signal);
  server.SetActive(false);
  std::printf("exceptions=%d allocations=%d\n", exceptions.load(), allocations.load());
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Load generator

sockaddr_in Loopback(uint16_t aPort) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(aPort);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

int OpenSocket() {
  const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
  sockaddr_in a = Loopback(0);
  ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  const int size = 1 << 20;
  ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  ::setsockopt(s, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  return s;
}

uint16_t LocalPort(int aSocket) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  ::getsockname(aSocket, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

// One client of the load: a socket, its credentials state and its window.
struct TLoadClient {
  int Socket = -1;
  std::string Realm, Nonce;
  uint16_t Relay = 0;
  uint64_t Sent = 0, Received = 0, Lost = 0;
  TSteady::time_point LastProgress;
};

// Sends a request and waits up to aMs for its answer (a datagram with its transaction ID).
bool Ask(TLoadClient& aClient, uint16_t aServer, TqynStunMessageMethod aMethod, bool aAuth,
         const std::function<void(TqynSTUN_Message&)>& aFill, TqynSTUN_Message& VAnswer, int aMs = 2000) {
  TqynSTUN_Message m;
  m.SetMessageType(stmtClientRequest);
  m.Header().SetMessageType_Method(aMethod);
  m.Header().SetMessageType_Class(stmcRequest);
  m.Header().SetMagicCookie(QYN_STUN_MAGIC_COOKIE);
  m.Header().SetTransactionId(NewTransactionId());
  aFill(m);
  m.SetFingerprint(stfsFingerprintValid);
  if (aAuth && !aClient.Nonce.empty()) {
    m.SetCredentials(stauLongTermCredential);
    m.SetUsername(kUser);
    m.SetRealm(aClient.Realm);
    m.SetPassword(kPassword);
    m.SetNonce(aClient.Nonce);
  }
  m.Header().SetMessageLength(static_cast<uint16_t>(m.ComputeMessageLength()));
  const TqynBytes bytes = m.Write();
  const sockaddr_in to = Loopback(aServer);
  ::sendto(aClient.Socket, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  const auto end = TSteady::now() + std::chrono::milliseconds(aMs);
  uint8_t buf[2048];
  while (TSteady::now() < end) {
    const ssize_t n = ::recv(aClient.Socket, buf, sizeof buf, 0);
    if (n < 20) {
      usleep(200);
      continue;
    }
    if (std::memcmp(buf + 8, m.Header().TransactionId().data(), 12) != 0) continue;
    const TqynBytes key = TIdHashMessageDigest5::HashString(kUser + ":" + aClient.Realm + ":" + kPassword);
    VAnswer.SetMessageType(stmtClientResponse);
    VAnswer.OnRequestMessageIntegrityKey = [key](TqynSTUN_Message*, const std::string&, TqynBytes& Key) { Key = key; };
    try {
      VAnswer.Read(buf, static_cast<size_t>(n));
    } catch (const Exception&) {
      return false;
    }
    return true;
  }
  return false;
}

int ErrorCode(TqynSTUN_Message& aMessage) {
  const auto* e = aMessage.Attributes().GetAttribute<TqynSTUN_Attribute_ERROR_CODE>(stmaError_Code);
  return e ? e->Code() : 0;
}

// A request answered once more with credentials when it is challenged.
// The success answer, or null.
std::unique_ptr<TqynSTUN_Message> AskSigned(TLoadClient& aClient, uint16_t aServer, TqynStunMessageMethod aMethod, bool aAuth,
                                            const std::function<void(TqynSTUN_Message&)>& aFill) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    auto answer = std::make_unique<TqynSTUN_Message>();
    if (!Ask(aClient, aServer, aMethod, aAuth, aFill, *answer)) continue;
    const int code = ErrorCode(*answer);
    const auto* nonce = answer->Attributes().GetAttribute<TqynSTUN_Attribute_NONCE>(stmaNonce);
    const auto* realm = answer->Attributes().GetAttribute<TqynSTUN_Attribute_REALM>(stmaRealm);
    if ((code == 401 || code == 438) && aAuth && nonce && realm) {
      aClient.Nonce = nonce->Nonce();
      aClient.Realm = realm->Realm();
      continue;
    }
    if (answer->Header().MessageType_Class() == stmcResponseSuccess) return answer;
    std::fprintf(stderr, "error response %d\n", code);
    return nullptr;
  }
  return nullptr;
}

bool SetUp(TLoadClient& aClient, uint16_t aServer, uint16_t aPeerPort, bool aAuth) {
  const auto allocated = AskSigned(aClient, aServer, stmmAllocate, aAuth, [](TqynSTUN_Message& m) {
    m.Attributes().Add<TqynSTUN_Attribute_REQUESTED_TRANSPORT>()->SetProtocol(17);
  });
  if (!allocated) return false;
  const auto* relayed = allocated->Attributes().GetAttribute(stmaXOR_Relayed_Address);
  aClient.Relay = relayed ? relayed->Port() : 0;
  return AskSigned(aClient, aServer, stmmChannelBind, aAuth, [&](TqynSTUN_Message& m) {
    m.Attributes().Add<TqynSTUN_Attribute_CHANNEL_NUMBER>()->SetChannel(kChannel);
    auto* peer = m.Attributes().Add<TqynSTUN_Attribute_XOR_PEER_ADDRESS>();
    peer->SetAddress("127.0.0.1");
    peer->SetPort(aPeerPort);
    peer->SetFamily(1);
    peer->SetTransactionId(m.Header().TransactionId());
  }) != nullptr;
}

TqynBytes ChannelData(size_t aSize) {
  TqynBytes out((4 + aSize + 3) & ~size_t{3}, 0x5A);
  out[0] = static_cast<uint8_t>(kChannel >> 8);
  out[1] = static_cast<uint8_t>(kChannel & 0xFF);
  out[2] = static_cast<uint8_t>(aSize >> 8);
  out[3] = static_cast<uint8_t>(aSize & 0xFF);
  return out;
}

// User plus system CPU ticks of process aPid (all its threads); -1 when it cannot be read.
long CpuTicksOf(int aPid) {
  const std::string path = "/proc/" + std::to_string(aPid) + "/stat";
  FILE* f = std::fopen(path.c_str(), "r");
  if (!f) return -1;
  char line[2048];
  const bool read = std::fgets(line, sizeof line, f) != nullptr;
  std::fclose(f);
  if (!read) return -1;
  const char* p = std::strrchr(line, ')'); // the command name may hold blanks
  if (!p) return -1;
  // Fields after the name start with the state (field 3); utime and stime are fields 14 and 15.
  long utime = 0, stime = 0;
  if (std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &utime, &stime) != 2) return -1;
  return utime + stime;
}

// Context switches (voluntary and not) of all threads of process aPid; -1 when unreadable.
long ContextSwitchesOf(int aPid) {
  const std::string dir = "/proc/" + std::to_string(aPid) + "/task";
  DIR* d = ::opendir(dir.c_str());
  if (!d) return -1;
  long total = 0;
  while (const dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    FILE* f = std::fopen((dir + "/" + e->d_name + "/status").c_str(), "r");
    if (!f) continue;
    char line[256];
    while (std::fgets(line, sizeof line, f)) {
      long n = 0;
      if (std::sscanf(line, "voluntary_ctxt_switches: %ld", &n) == 1 || std::sscanf(line, "nonvoluntary_ctxt_switches: %ld", &n) == 1)
        total += n;
    }
    std::fclose(f);
  }
  ::closedir(d);
  return total;
}

int Load(uint16_t aServer, int aAllocations, int aWindow, double aSeconds, size_t aSize, bool aAuth, int aCpuOf) {
  const int peer = OpenSocket();
  const uint16_t peerPort = LocalPort(peer);
  std::vector<TLoadClient> clients(static_cast<size_t>(aAllocations));
  for (auto& c : clients) {
    c.Socket = OpenSocket();
    if (!SetUp(c, aServer, peerPort, aAuth)) {
      std::fprintf(stderr, "allocation or channel bind failed\n");
      return 1;
    }
  }

  const int epoll = ::epoll_create1(0);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u32 = 0xFFFFFFFFu;
  ::epoll_ctl(epoll, EPOLL_CTL_ADD, peer, &ev);
  for (uint32_t i = 0; i < clients.size(); ++i) {
    ev.data.u32 = i;
    ::epoll_ctl(epoll, EPOLL_CTL_ADD, clients[i].Socket, &ev);
  }

  const TqynBytes message = ChannelData(aSize);
  const sockaddr_in server = Loopback(aServer);
  const auto send = [&](TLoadClient& c) {
    if (::sendto(c.Socket, message.data(), message.size(), 0, reinterpret_cast<const sockaddr*>(&server), sizeof server) > 0) ++c.Sent;
  };
  uint64_t bad = 0;
  const long cpuStart = aCpuOf > 0 ? CpuTicksOf(aCpuOf) : -1;
  const long switchesStart = aCpuOf > 0 ? ContextSwitchesOf(aCpuOf) : -1;
  const auto start = TSteady::now();
  for (auto& c : clients) {
    c.LastProgress = start;
    for (int i = 0; i < aWindow; ++i) send(c);
  }
  const auto end = start + std::chrono::duration_cast<TSteady::duration>(std::chrono::duration<double>(aSeconds));
  uint8_t buf[4096];
  epoll_event events[128];
  while (TSteady::now() < end) {
    const int n = ::epoll_wait(epoll, events, 128, 50);
    const auto now = TSteady::now();
    for (int e = 0; e < n; ++e) {
      if (events[e].data.u32 == 0xFFFFFFFFu) { // the echo peer: back to the relay it came from
        for (;;) {
          sockaddr_in from{};
          socklen_t len = sizeof from;
          const ssize_t got = ::recvfrom(peer, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
          if (got < 0) break;
          ::sendto(peer, buf, static_cast<size_t>(got), 0, reinterpret_cast<sockaddr*>(&from), len);
        }
        continue;
      }
      TLoadClient& c = clients[events[e].data.u32];
      for (;;) {
        const ssize_t got = ::recv(c.Socket, buf, sizeof buf, 0);
        if (got < 0) break;
        if (got < 4 || buf[0] != (kChannel >> 8) || buf[1] != (kChannel & 0xFF) ||
            static_cast<size_t>((buf[2] << 8) | buf[3]) != aSize) {
          ++bad;
          continue;
        }
        ++c.Received;
        c.LastProgress = now;
        send(c);
      }
    }
    // A client whose messages stopped coming back has lost them: its window starts afresh.
    for (auto& c : clients) {
      if (now - c.LastProgress < std::chrono::milliseconds(200)) continue;
      const uint64_t inFlight = c.Sent - c.Received - c.Lost;
      c.Lost += inFlight;
      c.LastProgress = now;
      for (int i = 0; i < aWindow; ++i) send(c);
    }
  }
  const double elapsed = std::chrono::duration<double>(TSteady::now() - start).count();
  const long cpuEnd = aCpuOf > 0 ? CpuTicksOf(aCpuOf) : -1;
  const long switchesEnd = aCpuOf > 0 ? ContextSwitchesOf(aCpuOf) : -1;
  uint64_t sent = 0, received = 0, lost = 0;
  for (const auto& c : clients) {
    sent += c.Sent;
    received += c.Received;
    lost += c.Lost;
  }
  std::printf("messages_per_sec=%.0f relayed_per_sec=%.0f sent=%llu received=%llu lost=%llu bad=%llu allocations=%d",
              received / elapsed, 2.0 * received / elapsed, static_cast<unsigned long long>(sent),
              static_cast<unsigned long long>(received), static_cast<unsigned long long>(lost),
              static_cast<unsigned long long>(bad), aAllocations);
  if (cpuStart >= 0 && cpuEnd >= 0) std::printf(" server_cpu_ticks=%ld", cpuEnd - cpuStart);
  if (switchesStart >= 0 && switchesEnd >= 0 && received > 0)
    std::printf(" server_switches_per_relayed=%.3f", static_cast<double>(switchesEnd - switchesStart) / (2.0 * received));
  std::printf("\n");
  for (auto& c : clients) ::close(c.Socket);
  ::close(peer);
  ::close(epoll);
  return 0;
}


// ---------------------------------------------------------------------------------------------
// In-process cost

// A socket object as the listener hands one to the component; answers are kept, not sent.
class TMicroSocket : public TqynUDPSocket {
public:
  TMicroSocket(const std::string& aIP, TIdPort aPort, const std::string& aLocalIP, TIdPort aLocalPort) {
    SetIP(aIP);
    SetPort(aPort);
    SetLocalIP(aLocalIP);
    SetLocalPort(aLocalPort);
    SetIPVersion(Id_IPv4);
  }
  void WriteData(const TqynBytes& aBytes) override { Last = aBytes; }
  void WriteData(const std::string& aValue) override { Last.assign(aValue.begin(), aValue.end()); }
  TqynBytes Last;
};

// The component with its relayed datagrams counted instead of sent.
class TMicroServer : public TqynTURNServer {
public:
  ~TMicroServer() override { ShutdownServer(); }
  uint64_t Relayed = 0;

protected:
  void WriteRelayData(const std::shared_ptr<TqynUDPBindingRef>&, const std::string&, TIdPort, const std::string&, TIdPort,
                      const TqynBytes&) override {
    ++Relayed;
  }
};

TqynBytes MicroRequest(TqynStunMessageMethod aMethod, const std::function<void(TqynSTUN_Message&)>& aFill) {
  TqynSTUN_Message m;
  m.SetMessageType(stmtClientRequest);
  m.Header().SetMessageType_Method(aMethod);
  m.Header().SetMessageType_Class(stmcRequest);
  m.Header().SetMagicCookie(QYN_STUN_MAGIC_COOKIE);
  m.Header().SetTransactionId(NewTransactionId());
  aFill(m);
  m.Header().SetMessageLength(static_cast<uint16_t>(m.ComputeMessageLength()));
  return m.Write();
}

int Micro(long aCount) {
  TMicroServer server;
  server.TURNOptions().Authentication.Enabled = false;
  std::atomic<int> exceptions{0};
  server.OnSTUNException = [&](TqynComponent_Base*, const Exception&) { ++exceptions; };
  TMicroSocket client("192.0.2.1", 5000, "127.0.0.1", 3478);
  server.UDPServerRead(nullptr, &client, MicroRequest(stmmAllocate, [](TqynSTUN_Message& m) {
    m.Attributes().Add<TqynSTUN_Attribute_REQUESTED_TRANSPORT>()->SetProtocol(17);
  }));
  TqynSTUN_Message allocated;
  allocated.SetMessageType(stmtClientResponse);
  allocated.Read(client.Last);
  const auto* relayed = allocated.Attributes().GetAttribute(stmaXOR_Relayed_Address);
  if (!relayed) {
    std::fprintf(stderr, "no allocation\n");
    return 1;
  }
  const std::string relayIP = relayed->Address();
  const TIdPort relayPort = relayed->Port();
  server.UDPServerRead(nullptr, &client, MicroRequest(stmmChannelBind, [](TqynSTUN_Message& m) {
    m.Attributes().Add<TqynSTUN_Attribute_CHANNEL_NUMBER>()->SetChannel(kChannel);
    auto* peer = m.Attributes().Add<TqynSTUN_Attribute_XOR_PEER_ADDRESS>();
    peer->SetAddress("192.0.2.9");
    peer->SetPort(7000);
    peer->SetFamily(1);
    peer->SetTransactionId(m.Header().TransactionId());
  }));
  TMicroSocket peer("192.0.2.9", 7000, relayIP, relayPort);
  const TqynBytes channelData = ChannelData(100);
  const TqynBytes peerData(100, 0x5A);

  const auto time = [&](TMicroSocket& aSocket, const TqynBytes& aBytes) {
    const uint64_t before = server.Relayed;
    const auto start = TSteady::now();
    for (long i = 0; i < aCount; ++i) server.UDPServerRead(nullptr, &aSocket, aBytes);
    const double ns = std::chrono::duration<double, std::nano>(TSteady::now() - start).count();
    return server.Relayed - before == static_cast<uint64_t>(aCount) ? ns / static_cast<double>(aCount) : -1.0;
  };
  const double up = time(client, channelData);
  const double down = time(peer, peerData);
  std::printf("client_to_peer_ns=%.0f peer_to_client_ns=%.0f exceptions=%d\n", up, down, exceptions.load());
  return up < 0 || down < 0 ? 1 : 0;
}

[[noreturn]] void Usage() {
  std::fprintf(stderr,
               "usage: turn_relay_bench --micro [--count N]\n"
               "       turn_relay_bench --serve [--port PORT] [--auth on|off]\n"
               "       turn_relay_bench --load --target PORT [--allocations N] [--window W] [--seconds S] [--size BYTES]\n"
               "                        [--auth on|off] [--cpu-of PID]\n");
  std::exit(2);
}

} // namespace

int main(int argc, char** argv) {
  bool serve = false, load = false, micro = false, auth = true;
  long count = 1000000;
  int port = 0, target = 0, allocations = 1, window = 16, size = 100, cpuOf = 0;
  double seconds = 5;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) Usage();
      return argv[++i];
    };
    if (a == "--serve") serve = true;
    else if (a == "--load") load = true;
    else if (a == "--micro") micro = true;
    else if (a == "--count") count = std::atol(value().c_str());
    else if (a == "--port") port = std::atoi(value().c_str());
    else if (a == "--target") target = std::atoi(value().c_str());
    else if (a == "--allocations") allocations = std::atoi(value().c_str());
    else if (a == "--window") window = std::atoi(value().c_str());
    else if (a == "--seconds") seconds = std::atof(value().c_str());
    else if (a == "--size") size = std::atoi(value().c_str());
    else if (a == "--auth") auth = value() != "off";
    else if (a == "--cpu-of") cpuOf = std::atoi(value().c_str());
    else Usage();
  }
  if (micro) return count > 0 ? Micro(count) : (Usage(), 2);
  if (serve == load || port < 0 || port > 65535) Usage();
  if (serve) return Serve(port, auth);
  if (target <= 0 || target > 65535 || allocations <= 0 || window <= 0 || size < 0 || size > 1400 || seconds <= 0) Usage();
  return Load(static_cast<uint16_t>(target), allocations, window, seconds, static_cast<size_t>(size), auth, cpuOf);
}
