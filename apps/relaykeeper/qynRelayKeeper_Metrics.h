// relaykeeper's metrics: the TURN server's counters and gauges and the process's threads and
// descriptors in the Prometheus text format, served over HTTP at /metrics by a server that runs
// on one thread of its own (cpp-httplib, every connection served on that thread in turn, so a
// flood of connections waits in the kernel's backlog instead of growing memory).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "qynP2P_TURN_Counters.h"

class TqynTURNServer_Base;

// What the process holds now, from /proc/self and getrlimit; -1 where it could not be read (the
// line is then left out).
struct TqynRelayKeeperProcessStats {
  int64_t Threads = -1;
  int64_t OpenDescriptors = -1;
  int64_t MaxDescriptors = -1;
  int64_t ResidentBytes = -1;
};

TqynRelayKeeperProcessStats ReadRelayKeeperProcessStats();

// The Prometheus text format (version 0.0.4) of these values: every metric named qynwire_...,
// with its HELP and TYPE lines.
std::string FormatRelayKeeperMetrics(const TqynTURNCountersSnapshot& aCounters, const TqynTURNServerGauges& aGauges,
                                     const TqynRelayKeeperProcessStats& aProcess);

// The text for aServer now (its counters, its allocation table, this process).
std::string RelayKeeperMetricsText(TqynTURNServer_Base& aServer);

// The HTTP server of the metrics. Start and Stop are called from one thread; the text source runs
// on the server's own thread, once per request of GET /metrics.
class TqynRelayKeeperMetricsServer {
public:
  using TTextSource = std::function<std::string()>;

  TqynRelayKeeperMetricsServer();
  // Stops the server (Stop).
  ~TqynRelayKeeperMetricsServer();
  TqynRelayKeeperMetricsServer(const TqynRelayKeeperMetricsServer&) = delete;
  TqynRelayKeeperMetricsServer& operator=(const TqynRelayKeeperMetricsServer&) = delete;

  // Binds aHost:aPort for TCP (port 0: any free port) and serves on a new thread. False, with the
  // reason in VError ("Address already in use", ...), when it cannot bind; nothing runs then.
  bool Start(const std::string& aHost, uint16_t aPort, TTextSource aSource, std::string& VError);
  // The bound port (0 when not running).
  uint16_t Port() const noexcept { return FPort; }
  bool Running() const noexcept;
  // Closes the listening socket, lets the connection being served finish (bounded by the read and
  // write timeouts of two seconds) and joins the thread. Does nothing when not running.
  void Stop() noexcept;

private:
  struct TImpl;
  std::unique_ptr<TImpl> F;
  uint16_t FPort = 0;
};
