#include "qynRelayKeeper_Metrics.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "qynP2P_TURN_Server.h"
#include "qynRelayKeeper_Server.h"

// ---------------------------------------------------------------------------------------------
// Text format

namespace {

// A label value with backslash, double quote and line feed escaped.
std::string LabelValue(const std::string& aText) {
  std::string out;
  out.reserve(aText.size());
  for (char c : aText) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

class TWriter {
public:
  void Family(const char* aName, const char* aType, const char* aHelp) {
    FOut += "# HELP ";
    FOut += aName;
    FOut += ' ';
    FOut += aHelp;
    FOut += "\n# TYPE ";
    FOut += aName;
    FOut += ' ';
    FOut += aType;
    FOut += '\n';
  }
  // aLabels: already formatted, "" or {a="b",...}.
  void Sample(const char* aName, const std::string& aLabels, uint64_t aValue) {
    FOut += aName;
    FOut += aLabels;
    FOut += ' ';
    FOut += std::to_string(aValue);
    FOut += '\n';
  }
  void One(const char* aName, const char* aType, const char* aHelp, uint64_t aValue) {
    Family(aName, aType, aHelp);
    Sample(aName, "", aValue);
  }
  std::string Take() { return std::move(FOut); }

private:
  std::string FOut;
};

std::string CodeLabel(uint16_t aCode) { return aCode == 0 ? std::string("other") : std::to_string(aCode); }

std::string ReasonPhrase(uint16_t aCode) {
  for (int e = stueInvalidRequest; e <= stueInsufficientCapacity; ++e)
    if (StunErrorCode(static_cast<TqynStunError>(e)) == aCode) return StunErrorReason(static_cast<TqynStunError>(e));
  return std::string();
}

const char* const KDirections[2] = {"client_to_peer", "peer_to_client"};

} // namespace

std::string FormatRelayKeeperMetrics(const TqynTURNCountersSnapshot& aCounters, const TqynTURNServerGauges& aGauges,
                                     const TqynRelayKeeperProcessStats& aProcess) {
  TWriter w;
  w.One("qynwire_turn_allocations", "gauge", "Allocations held now.", aGauges.Allocations);
  w.One("qynwire_turn_allocations_created_total", "counter", "Allocations created.", aCounters.AllocationsCreated);

  w.Family("qynwire_turn_allocations_refused_total", "counter",
           "Allocate requests answered with an error response, by response code (401 is also the challenge "
           "that precedes every authenticated Allocate).");
  for (const auto& r : aCounters.Responses) {
    if (r.Method != stmmAllocate || r.Code == 200) continue;
    w.Sample("qynwire_turn_allocations_refused_total",
             "{code=\"" + CodeLabel(r.Code) + "\",reason=\"" + LabelValue(ReasonPhrase(r.Code)) + "\"}", r.Count);
  }

  w.One("qynwire_turn_permissions", "gauge", "Permissions in force now (not expired), over all allocations.",
        aGauges.Permissions);
  w.One("qynwire_turn_permissions_installed_total", "counter",
        "Permissions installed for a peer address new to its allocation, by CreatePermission or ChannelBind.",
        aCounters.PermissionsInstalled);
  w.One("qynwire_turn_channels", "gauge", "Channel bindings in force now (not expired), over all allocations.",
        aGauges.Channels);
  w.One("qynwire_turn_channels_bound_total", "counter", "Channel numbers bound that were new to their allocation.",
        aCounters.ChannelsBound);

  w.Family("qynwire_turn_relayed_datagrams_total", "counter",
           "Datagrams relayed, by direction (data between two allocations of this server counts as peer_to_client).");
  for (int d = 0; d < 2; ++d)
    w.Sample("qynwire_turn_relayed_datagrams_total", std::string("{direction=\"") + KDirections[d] + "\"}",
             aCounters.RelayedDatagrams[d]);
  w.Family("qynwire_turn_relayed_bytes_total", "counter", "Application data bytes relayed (without TURN framing), by direction.");
  for (int d = 0; d < 2; ++d)
    w.Sample("qynwire_turn_relayed_bytes_total", std::string("{direction=\"") + KDirections[d] + "\"}", aCounters.RelayedBytes[d]);

  w.Family("qynwire_requests_total", "counter", "Requests answered, by method and response code (200: success).");
  for (const auto& r : aCounters.Responses)
    w.Sample("qynwire_requests_total", std::string("{method=\"") + StunMethodName(r.Method) + "\",code=\"" + CodeLabel(r.Code) + "\"}",
             r.Count);

  w.Family("qynwire_turn_discarded_total", "counter",
           "Send indications, peer datagrams (Data) and ChannelData discarded without an answer, by reason "
           "(addresses and numbers in the reason shown as N).");
  for (const auto& d : aCounters.Discards)
    w.Sample("qynwire_turn_discarded_total", "{method=\"" + LabelValue(d.Method) + "\",reason=\"" + LabelValue(d.Reason) + "\"}",
             d.Count);

  w.One("qynwire_processing_errors_total", "counter",
        "Datagrams or timer ticks whose processing ended in an error (a malformed message, a wrong MESSAGE-INTEGRITY, "
        "a failed send).",
        aCounters.ProcessingErrors);

  if (aProcess.Threads >= 0) w.One("qynwire_process_threads", "gauge", "Threads of the process.", static_cast<uint64_t>(aProcess.Threads));
  if (aProcess.OpenDescriptors >= 0)
    w.One("qynwire_process_open_fds", "gauge", "Open file descriptors of the process (sockets included).",
          static_cast<uint64_t>(aProcess.OpenDescriptors));
  if (aProcess.MaxDescriptors >= 0)
    w.One("qynwire_process_max_fds", "gauge", "The process's limit of open file descriptors (soft limit).",
          static_cast<uint64_t>(aProcess.MaxDescriptors));
  if (aProcess.ResidentBytes >= 0)
    w.One("qynwire_process_resident_memory_bytes", "gauge", "Resident memory of the process in bytes.",
          static_cast<uint64_t>(aProcess.ResidentBytes));
  return w.Take();
}

TqynRelayKeeperProcessStats ReadRelayKeeperProcessStats() {
  TqynRelayKeeperProcessStats out;
  {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
      if (line.rfind("Threads:", 0) == 0) {
        out.Threads = std::strtoll(line.c_str() + 8, nullptr, 10);
        break;
      }
  }
  if (DIR* d = opendir("/proc/self/fd")) {
    const int own = dirfd(d);
    int64_t n = 0;
    while (const dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      if (std::atoi(e->d_name) != own) ++n;
    }
    closedir(d);
    out.OpenDescriptors = n;
  }
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) out.MaxDescriptors = static_cast<int64_t>(limit.rlim_cur);
  {
    std::ifstream statm("/proc/self/statm");
    long long size = 0, resident = 0;
    if (statm >> size >> resident) out.ResidentBytes = resident * static_cast<int64_t>(sysconf(_SC_PAGESIZE));
  }
  return out;
}

std::string RelayKeeperMetricsText(TqynTURNServer_Base& aServer) {
  return FormatRelayKeeperMetrics(aServer.Counters().Snapshot(), TURNServerGauges(aServer), ReadRelayKeeperProcessStats());
}

// ---------------------------------------------------------------------------------------------
// HTTP server

namespace {

// Every connection is served on the accepting thread itself: one thread in all, and connections
// beyond the one being served wait in the kernel's backlog.
class TInlineTaskQueue : public httplib::TaskQueue {
public:
  void enqueue(std::function<void()> fn) override { fn(); }
  void shutdown() override {}
};

// Why a TCP bind of aHost:aPort fails (tried again with a plain socket to learn errno).
std::string BindFailureReason(const std::string& aHost, uint16_t aPort) {
  sockaddr_storage storage{};
  socklen_t length = 0;
  int family = AF_INET;
  if (auto* v4 = reinterpret_cast<sockaddr_in*>(&storage); inet_pton(AF_INET, aHost.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(aPort);
    length = sizeof(sockaddr_in);
  } else if (auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage); inet_pton(AF_INET6, aHost.c_str(), &v6->sin6_addr) == 1) {
    family = AF_INET6;
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(aPort);
    length = sizeof(sockaddr_in6);
  } else {
    return "not an IPv4 or IPv6 address";
  }
  const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::strerror(errno);
  int yes = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  std::string reason;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0) reason = std::strerror(errno);
  else if (::listen(fd, 1) != 0) reason = std::strerror(errno);
  ::close(fd);
  return reason.empty() ? std::string("the HTTP server could not listen") : reason;
}

} // namespace

struct TqynRelayKeeperMetricsServer::TImpl {
  httplib::Server Http;
  std::thread Thread;
  std::atomic<bool> Finished{false};
};

TqynRelayKeeperMetricsServer::TqynRelayKeeperMetricsServer() = default;

TqynRelayKeeperMetricsServer::~TqynRelayKeeperMetricsServer() { Stop(); }

bool TqynRelayKeeperMetricsServer::Running() const noexcept { return F && !F->Finished.load(); }

bool TqynRelayKeeperMetricsServer::Start(const std::string& aHost, uint16_t aPort, TTextSource aSource, std::string& VError) {
  Stop();
  auto impl = std::make_unique<TImpl>();
  httplib::Server& http = impl->Http;
  http.new_task_queue = [] { return new TInlineTaskQueue(); };
  // No SO_REUSEPORT (the library's default): a port another program holds is refused, not shared.
  http.set_socket_options([](socket_t aSocket) {
    int yes = 1;
    setsockopt(aSocket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  http.set_keep_alive_max_count(1);
  http.set_keep_alive_timeout(1);
  http.set_read_timeout(2, 0);
  http.set_write_timeout(2, 0);
  http.set_payload_max_length(4096);
  http.Get("/metrics", [source = std::move(aSource)](const httplib::Request&, httplib::Response& aResponse) {
    try {
      aResponse.set_content(source(), "text/plain; version=0.0.4; charset=utf-8");
    } catch (const std::exception& E) {
      aResponse.status = 500;
      aResponse.set_content(std::string("metrics failed: ") + E.what() + "\n", "text/plain");
    } catch (...) {
      aResponse.status = 500;
      aResponse.set_content("metrics failed\n", "text/plain");
    }
  });

  int port = aPort;
  if (aPort == 0) port = http.bind_to_any_port(aHost);
  else if (!http.bind_to_port(aHost, aPort)) port = -1;
  if (port <= 0) {
    VError = BindFailureReason(aHost, aPort);
    return false;
  }
  TImpl* raw = impl.get();
  raw->Thread = std::thread([raw] {
    raw->Http.listen_after_bind();
    raw->Finished.store(true);
  });
  // The library's stop() acts only on a running server: wait until the thread has taken up the
  // socket, so that a Stop right after this always ends it.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!raw->Http.is_running() && !raw->Finished.load() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  F = std::move(impl);
  FPort = static_cast<uint16_t>(port);
  return true;
}

void TqynRelayKeeperMetricsServer::Stop() noexcept {
  if (!F) return;
  // Once only: the library's stop() must not run twice on one server.
  if (F->Http.is_running()) F->Http.stop();
  if (F->Thread.joinable()) F->Thread.join();
  F.reset();
  FPort = 0;
}
