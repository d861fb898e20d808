// qyn-bench-libs: qyn_turn_server qyn_stun_server
//
// Many simultaneous allocations on one TURN server (neNoSync, authentication off), on loopback.
// The server runs in a child process so that its memory, descriptors, threads and CPU time are
// read from /proc for it alone; the parent is the load: one UDP socket per client, at most
// --outstanding requests in flight, each client sending Allocate, CreatePermission for the peer
// and one Send indication to a peer socket, which echoes every datagram back to the relayed
// address it came from (the client receives it as a Data indication). Then the server is left
// idle with all allocations held and its CPU time is measured.
//
// Usage: turn_allocations_bench [--allocations N] [--outstanding W] [--idle SECONDS]
// Prints one "key: value" line per figure.
#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qynBase_Sync.h"
#include "qynId_Limits.h"
#include "qynP2P_TURN_Server.h"
#include "qynUDP_Server.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t KCookie = 0x2112A442;

struct TOptions {
  int Allocations = 10000;
  int Outstanding = 256;
  int IdleSeconds = 10;
};

// ---- Figures of a process, from /proc ----

long StatusField(pid_t aPid, const char* aKey) {
  std::ifstream in("/proc/" + std::to_string(aPid) + "/status");
  std::string line;
  const size_t keyLength = std::strlen(aKey);
  while (std::getline(in, line))
    if (line.compare(0, keyLength, aKey) == 0) return std::atol(line.c_str() + keyLength);
  return -1;
}

long RssKB(pid_t aPid) { return StatusField(aPid, "VmRSS:"); }
long Threads(pid_t aPid) { return StatusField(aPid, "Threads:"); }

long Descriptors(pid_t aPid) {
  DIR* d = opendir(("/proc/" + std::to_string(aPid) + "/fd").c_str());
  if (!d) return -1;
  long n = 0;
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n;
}

// User + system CPU time of the process, in seconds.
double CpuSeconds(pid_t aPid) {
  std::ifstream in("/proc/" + std::to_string(aPid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; fields >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::atof(field.c_str());
    if (i == 15) break;
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// ---- The server (child process) ----

void WriteAll(int aFd, const std::string& aText) {
  size_t done = 0;
  while (done < aText.size()) {
    const ssize_t n = ::write(aFd, aText.data() + done, aText.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

[[noreturn]] void RunServer(int aCommands, int aReplies) {
  IdRaiseDescriptorLimit();
  std::atomic<long> exceptions{0};
  long stopMs = 0;
  {
    TqynTURNServer server;
    server.TURNOptions().Authentication.Enabled = false;
    server.OnSTUNException = [&](TqynComponent_Base*, const Exception&) { ++exceptions; };
    server.SetNotifyEvents(neNoSync);
    server.SetHost("127.0.0.1");
    server.SetPort(0);
    server.SetActive(true);
    if (!server.Active()) {
      WriteAll(aReplies, "port 0\n");
      _exit(1);
    }
    TqynUDPServer_Base* udp = server.GetUDPServer();
    WriteAll(aReplies, "port " + std::to_string(server.Bindings().Items(0)->Port()) + " rcvbuf " +
                           std::to_string(udp->GrantedReceiveBuffer()) + " sndbuf " + std::to_string(udp->GrantedSendBuffer()) +
                           " fdlimit " + std::to_string(IdRaiseDescriptorLimit()) + "\n");
    // 'm': the heap's figures; anything else (or the pipe's end): stop.
    for (;;) {
      char c = 0;
      const ssize_t got = ::read(aCommands, &c, 1);
      if (got < 0 && errno == EINTR) continue;
      if (got != 1 || c != 'm') break;
      const struct mallinfo2 m = mallinfo2();
      WriteAll(aReplies, "heapused " + std::to_string(m.uordblks) + " heapfree " + std::to_string(m.fordblks) + "\n");
    }
    const auto start = Clock::now();
    server.SetActive(false);
    stopMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    WriteAll(aReplies, "exceptions " + std::to_string(exceptions.load()) + " allocations " +
                           std::to_string(server.GetAllocations()->Count()) + " stopms " + std::to_string(stopMs) +
                           " threads " + std::to_string(Threads(getpid())) + "\n");
  }
  _exit(0);
}

// ---- The clients (parent process) ----

void Put16(std::vector<uint8_t>& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}
void Put32(std::vector<uint8_t>& b, uint32_t v) {
  Put16(b, static_cast<uint16_t>(v >> 16));
  Put16(b, static_cast<uint16_t>(v));
}
uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t Get32(const uint8_t* p) { return static_cast<uint32_t>(Get16(p)) << 16 | Get16(p + 2); }

// A STUN message of aType whose transaction ID carries the client index and the phase.
std::vector<uint8_t> Header(uint16_t aType, uint32_t aIndex, uint8_t aPhase) {
  std::vector<uint8_t> b;
  Put16(b, aType);
  Put16(b, 0);
  Put32(b, KCookie);
  Put32(b, aIndex);
  Put32(b, 0x71796E00u | aPhase);
  Put32(b, 0x62656E63u);
  return b;
}
void Finish(std::vector<uint8_t>& b) {
  const uint16_t length = static_cast<uint16_t>(b.size() - 20);
  b[2] = static_cast<uint8_t>(length >> 8);
  b[3] = static_cast<uint8_t>(length);
}
void AddXorPeer(std::vector<uint8_t>& b, uint16_t aPort) {
  Put16(b, 0x0012);
  Put16(b, 8);
  Put16(b, 1);
  Put16(b, static_cast<uint16_t>(aPort ^ (KCookie >> 16)));
  Put32(b, INADDR_LOOPBACK ^ KCookie);
}

// The attribute aType of a STUN message, or null.
const uint8_t* FindAttribute(const uint8_t* aMsg, size_t aLength, uint16_t aType, uint16_t* VLength) {
  size_t at = 20;
  while (at + 4 <= aLength) {
    const uint16_t type = Get16(aMsg + at);
    const uint16_t length = Get16(aMsg + at + 2);
    if (at + 4 + length > aLength) return nullptr;
    if (type == aType) {
      *VLength = length;
      return aMsg + at + 4;
    }
    at += 4 + ((length + 3u) & ~3u);
  }
  return nullptr;
}

enum TPhase : uint8_t { phAllocate = 1, phPermission = 2, phData = 3 };

struct TClients {
  int Count;
  std::vector<int> Fds;
  std::vector<uint16_t> RelayPorts;
  int Peer = -1;
  uint16_t PeerPort = 0;
  uint16_t ServerPort = 0;
  int Epoll = -1;
  sockaddr_in Server{};
};

// A UDP socket on 127.0.0.1: on aPort, or on an ephemeral port for 0.
int LoopbackSocket(uint16_t* VPort, int aBuffer, uint16_t aPort = 0) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (aBuffer > 0) {
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &aBuffer, sizeof aBuffer);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &aBuffer, sizeof aBuffer);
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(aPort);
  socklen_t len = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    ::close(fd);
    return -1;
  }
  if (VPort) *VPort = ntohs(a.sin_port);
  return fd;
}

struct TPhaseResult {
  int Done = 0;
  int Failed = 0;       // error responses, or no answer after every retry
  int Retransmits = 0;  // requests sent again after 500 ms without an answer
  double Seconds = 0;
};

// Runs one phase for every client with at most aWindow in flight: a request per client (sent
// again after 500 ms, five tries), and the answer that completes it.
TPhaseResult RunPhase(TClients& c, TPhase aPhase, int aWindow) {
  const int n = c.Count;
  std::vector<uint8_t> state(static_cast<size_t>(n), 0); // 0 waiting, 1 in flight, 2 done, 3 failed
  std::vector<Clock::time_point> sentAt(static_cast<size_t>(n));
  std::vector<uint8_t> tries(static_cast<size_t>(n), 0);
  TPhaseResult r;
  int next = 0, inFlight = 0, finished = 0;

  auto send = [&](int i) {
    std::vector<uint8_t> m;
    if (aPhase == phAllocate) {
      m = Header(0x0003, static_cast<uint32_t>(i), aPhase);
      Put16(m, 0x0019);
      Put16(m, 4);
      Put32(m, 17u << 24);
    } else if (aPhase == phPermission) {
      m = Header(0x0008, static_cast<uint32_t>(i), aPhase);
      AddXorPeer(m, c.PeerPort);
    } else {
      m = Header(0x0016, static_cast<uint32_t>(i), aPhase);
      AddXorPeer(m, c.PeerPort);
      Put16(m, 0x0013);
      Put16(m, 4);
      Put32(m, static_cast<uint32_t>(i));
    }
    Finish(m);
    ::sendto(c.Fds[static_cast<size_t>(i)], m.data(), m.size(), 0, reinterpret_cast<const sockaddr*>(&c.Server), sizeof c.Server);
    sentAt[static_cast<size_t>(i)] = Clock::now();
    ++tries[static_cast<size_t>(i)];
  };
  auto complete = [&](int i, bool aOk) {
    if (i < 0 || i >= n || state[static_cast<size_t>(i)] != 1) return;
    state[static_cast<size_t>(i)] = aOk ? 2 : 3;
    aOk ? ++r.Done : ++r.Failed;
    --inFlight;
    ++finished;
  };
  auto onClient = [&](int i, const uint8_t* m, size_t len) {
    if (len < 20) return;
    const uint16_t type = Get16(m);
    if (aPhase == phData) {
      uint16_t dl = 0;
      const uint8_t* data = type == 0x0017 ? FindAttribute(m, len, 0x0013, &dl) : nullptr;
      if (data && dl == 4 && static_cast<int>(Get32(data)) == i) complete(i, true);
      return;
    }
    if (Get32(m + 8) != static_cast<uint32_t>(i) || (Get32(m + 12) & 0xFF) != aPhase) return;
    const uint16_t success = aPhase == phAllocate ? 0x0103 : 0x0108;
    if (type == success) {
      if (aPhase == phAllocate) {
        uint16_t al = 0;
        if (const uint8_t* a = FindAttribute(m, len, 0x0016, &al); a && al >= 8)
          c.RelayPorts[static_cast<size_t>(i)] = static_cast<uint16_t>(Get16(a + 2) ^ (KCookie >> 16));
      }
      complete(i, true);
    } else if ((type & 0x0110) == 0x0110) {
      complete(i, false);
    }
  };
  auto onPeer = [&]() {
    uint8_t buf[2048];
    for (;;) {
      sockaddr_in from{};
      socklen_t fl = sizeof from;
      const ssize_t got = ::recvfrom(c.Peer, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fl);
      if (got < 0) return;
      ::sendto(c.Peer, buf, static_cast<size_t>(got), 0, reinterpret_cast<sockaddr*>(&from), fl);
    }
  };

  const auto start = Clock::now();
  auto lastScan = start;
  std::vector<epoll_event> events(512);
  while (finished < n) {
    while (next < n && inFlight < aWindow) {
      state[static_cast<size_t>(next)] = 1;
      ++inFlight;
      send(next++);
    }
    const int k = ::epoll_wait(c.Epoll, events.data(), static_cast<int>(events.size()), 20);
    for (int e = 0; e < k; ++e) {
      const int i = static_cast<int>(events[static_cast<size_t>(e)].data.u32);
      if (i == n) {
        onPeer();
        continue;
      }
      uint8_t buf[2048];
      for (;;) {
        const ssize_t got = ::recv(c.Fds[static_cast<size_t>(i)], buf, sizeof buf, 0);
        if (got < 0) break;
        onClient(i, buf, static_cast<size_t>(got));
      }
    }
    const auto now = Clock::now();
    if (now - lastScan < std::chrono::milliseconds(100)) continue;
    lastScan = now;
    for (int i = 0; i < next; ++i) {
      if (state[static_cast<size_t>(i)] != 1 || now - sentAt[static_cast<size_t>(i)] < std::chrono::milliseconds(500)) continue;
      if (tries[static_cast<size_t>(i)] >= 5) {
        complete(i, false);
        continue;
      }
      ++r.Retransmits;
      send(i);
    }
  }
  r.Seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return r;
}

int ParseInt(const char* aText, int aDefault) {
  if (!aText) return aDefault;
  const int v = std::atoi(aText);
  return v > 0 ? v : aDefault;
}

std::string ReadLine(int aFd) {
  std::string line;
  char ch;
  while (::read(aFd, &ch, 1) == 1 && ch != '\n') line.push_back(ch);
  return line;
}

long Field(const std::string& aLine, const std::string& aKey) {
  std::istringstream in(aLine);
  std::string k;
  long v;
  while (in >> k >> v)
    if (k == aKey) return v;
  return -1;
}

} // namespace

int main(int argc, char** argv) {
  TOptions o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string k = argv[i];
    if (k == "--allocations") o.Allocations = ParseInt(argv[i + 1], o.Allocations);
    else if (k == "--outstanding") o.Outstanding = ParseInt(argv[i + 1], o.Outstanding);
    else if (k == "--idle") o.IdleSeconds = ParseInt(argv[i + 1], o.IdleSeconds);
  }
  const long limit = IdRaiseDescriptorLimit();
  int commands[2], replies[2];
  if (::pipe(commands) != 0 || ::pipe(replies) != 0) return 1;
  const pid_t child = ::fork();
  if (child < 0) return 1;
  if (child == 0) {
    ::close(commands[1]);
    ::close(replies[0]);
    RunServer(commands[0], replies[1]);
  }
  ::close(commands[0]);
  ::close(replies[1]);
  const std::string hello = ReadLine(replies[0]);
  TClients c;
  c.Count = o.Allocations;
  c.ServerPort = static_cast<uint16_t>(Field(hello, "port"));
  if (c.ServerPort == 0) {
    std::fprintf(stderr, "server did not start\n");
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const long rss0 = RssKB(child), fds0 = Descriptors(child), threads0 = Threads(child);

  c.Server.sin_family = AF_INET;
  c.Server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  c.Server.sin_port = htons(c.ServerPort);
  c.Epoll = ::epoll_create1(EPOLL_CLOEXEC);
  c.Fds.resize(static_cast<size_t>(c.Count), -1);
  c.RelayPorts.resize(static_cast<size_t>(c.Count), 0);
  // Client ports below the relay range (49152 and up) and below the ephemeral one, so that the
  // load's own sockets never hold a port the server would draw for a relay.
  uint16_t nextPort = 12000;
  for (int i = 0; i < c.Count; ++i) {
    int fd = -1;
    while (fd < 0 && nextPort < 32768) fd = LoopbackSocket(nullptr, 0, nextPort++);
    if (fd < 0) {
      std::fprintf(stderr, "client socket %d: %s (descriptor limit %ld)\n", i, std::strerror(errno), limit);
      return 1;
    }
    c.Fds[static_cast<size_t>(i)] = fd;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = static_cast<uint32_t>(i);
    ::epoll_ctl(c.Epoll, EPOLL_CTL_ADD, fd, &ev);
  }
  c.Peer = LoopbackSocket(&c.PeerPort, 4 << 20);
  epoll_event pev{};
  pev.events = EPOLLIN;
  pev.data.u32 = static_cast<uint32_t>(c.Count);
  ::epoll_ctl(c.Epoll, EPOLL_CTL_ADD, c.Peer, &pev);

  auto heapInUse = [&] {
    WriteAll(commands[1], "m");
    return Field(ReadLine(replies[0]), "heapused");
  };
  const long heap0 = heapInUse();
  const double cpu0 = CpuSeconds(child);
  const TPhaseResult alloc = RunPhase(c, phAllocate, o.Outstanding);
  const long heapAllocated = heapInUse();
  const TPhaseResult perm = RunPhase(c, phPermission, o.Outstanding);
  const long heapPermitted = heapInUse();
  const TPhaseResult data = RunPhase(c, phData, o.Outstanding);
  const double cpu1 = CpuSeconds(child);
  // Listeners give their receive memory back after a second without traffic.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const long rss1 = RssKB(child), fds1 = Descriptors(child), threads1 = Threads(child);
  WriteAll(commands[1], "m");
  const std::string heap = ReadLine(replies[0]);
  const double idle0 = CpuSeconds(child);
  const auto idleStart = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(o.IdleSeconds));
  const double idle1 = CpuSeconds(child);
  const double idleWall = std::chrono::duration<double>(Clock::now() - idleStart).count();
  const long rss2 = RssKB(child);

  WriteAll(commands[1], "q");
  const std::string bye = ReadLine(replies[0]);
  int status = 0;
  ::waitpid(child, &status, 0);

  const int n = c.Count;
  const long errors = alloc.Failed + perm.Failed + data.Failed + std::max(0L, Field(bye, "exceptions"));
  std::printf("allocations: %d (outstanding %d)\n", n, o.Outstanding);
  std::printf("server socket buffers: rcvbuf %ld sndbuf %ld (bytes granted)\n", Field(hello, "rcvbuf"), Field(hello, "sndbuf"));
  std::printf("server descriptor limit: %ld\n", Field(hello, "fdlimit"));
  std::printf("allocate: %d ok, %d failed, %d retransmitted, %.2f s, %.0f allocations/s\n", alloc.Done, alloc.Failed,
              alloc.Retransmits, alloc.Seconds, alloc.Done / alloc.Seconds);
  std::printf("create permission: %d ok, %d failed, %d retransmitted, %.2f s\n", perm.Done, perm.Failed, perm.Retransmits,
              perm.Seconds);
  std::printf("relayed round trips (send indication out, data indication back): %d ok, %d lost, %d resent, %.2f s\n", data.Done,
              data.Failed, data.Retransmits, data.Seconds);
  std::printf("server CPU for the three phases: %.2f s\n", cpu1 - cpu0);
  std::printf("server RSS: %ld KB idle before, %ld KB with allocations, %ld KB after idling\n", rss0, rss1, rss2);
  std::printf("RSS per allocation: %.2f KB\n", static_cast<double>(rss1 - rss0) / n);
  std::printf("server heap with allocations: %.0f KB in use, %.0f KB free in the arenas\n", Field(heap, "heapused") / 1024.0,
              Field(heap, "heapfree") / 1024.0);
  std::printf("server heap in use per allocation: %.0f B allocated, %.0f B with a permission, %.0f B after relaying\n",
              static_cast<double>(heapAllocated - heap0) / n, static_cast<double>(heapPermitted - heap0) / n,
              static_cast<double>(Field(heap, "heapused") - heap0) / n);
  const long held = Field(bye, "allocations");
  std::printf("descriptors: %ld before, %ld with allocations, %.3f per allocation held\n", fds0, fds1,
              held > 0 ? static_cast<double>(fds1 - fds0) / held : 0.0);
  std::printf("threads: %ld before, %ld with %ld allocations held\n", threads0, threads1, held);
  std::printf("idle CPU with %d allocations: %.3f %% of a core over %.1f s\n", n, 100.0 * (idle1 - idle0) / idleWall, idleWall);
  std::printf("stop: %ld ms, %ld threads left, server exceptions %ld, allocations held at stop %ld\n", Field(bye, "stopms"),
              Field(bye, "threads"), Field(bye, "exceptions"), Field(bye, "allocations"));
  std::printf("errors: %ld\n", errors);
  std::printf("server exit status: %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  for (int fd : c.Fds) ::close(fd);
  ::close(c.Peer);
  ::close(c.Epoll);
  return errors == 0 ? 0 : 2;
}
