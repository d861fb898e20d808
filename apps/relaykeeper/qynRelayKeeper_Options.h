// The command line of relaykeeper. Each option is one row of a table (name, value name, help text,
// and what it does to TqynRelayKeeperOptions), so the parser and --help always agree and a new
// option is one new row.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qynBase_Types.h"

QYN_DECLARE_EXCEPTION(EqynOptionError, Exception)

struct TqynRelayKeeperOptions {
  bool Headless = false;
  bool Help = false;
  // An option of the daemon (anything but --headless, --help and --metrics) was given.
  bool DaemonOptionGiven = false;
  std::string Host = "127.0.0.1";
  uint16_t Port = 3478;
  std::string User = "qyn_user";
  std::string Password = "kiwi_tea";
  std::string Realm = "Qynwire";
  bool Authentication = true;
  std::string RelayIP; // empty: the listening address
  uint16_t MinPort = 49152;
  uint16_t MaxPort = 65535; // bound of the relay port range, never itself granted
  // The peer policy (always on in the daemon): ranges opened and closed beside the default set,
  // each checked when parsed.
  std::vector<std::string> AllowPeers;
  std::vector<std::string> DenyPeers;
  bool AllowLoopbackPeers = false; // also on when Host is a loopback address
  bool Verbose = false;
  // --metrics ADDR:PORT (headless and window): serve Prometheus metrics at http://ADDR:PORT/metrics.
  bool Metrics = false;
  std::string MetricsHost;
  uint16_t MetricsPort = 0;
  std::string AuthSecret; // shared secret of time-limited credentials; empty: none
  int MaxAllocations = 0; // allocations of the whole server; 0: no limit
  int UserQuota = 0;      // allocations per user; 0: no limit
  int UnauthRate = 10;    // answers per second per source to unauthenticated requests; 0: no bound
};

struct TqynRelayKeeperOption {
  const char* Name;      // "--port"
  const char* ValueName; // "N"; null for a flag
  const char* Help;
  void (*Apply)(TqynRelayKeeperOptions& aOptions, const std::string& aValue);
};

// The table, in the order --help lists it.
const std::vector<TqynRelayKeeperOption>& RelayKeeperOptionTable();

// Parses argv[1..]: "--name value" or "--name=value". Raises EqynOptionError with a message that
// names the option for an unknown option, a missing value, a bad value or inconsistent values.
TqynRelayKeeperOptions ParseRelayKeeperOptions(int argc, const char* const* argv);

// The --help text.
std::string RelayKeeperUsage();

// Value parsers (raise EqynOptionError naming aOption).
uint16_t ParsePortOption(const std::string& aOption, const std::string& aValue, uint16_t aMin);
std::string ParseIPOption(const std::string& aOption, const std::string& aValue);
// "ADDR:PORT" with an IPv4 address, or "[ADDR]:PORT" with an IPv6 address; port 0 takes any free one.
void ParseHostPortOption(const std::string& aOption, const std::string& aValue, std::string& VHost, uint16_t& VPort);
// A decimal count 0 .. aMax.
int ParseCountOption(const std::string& aOption, const std::string& aValue, int aMax);
std::string ParsePeerRangeOption(const std::string& aOption, const std::string& aValue);
