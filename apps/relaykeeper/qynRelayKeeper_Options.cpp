#include "qynRelayKeeper_Options.h"

#include <arpa/inet.h>

#include <charconv>

#include "qynRelayKeeper_RestAuth.h"
#include "qynP2P_TURN_PeerPolicy.h"

namespace {

constexpr int kMaxCount = 1000000;

std::string NonEmpty(const std::string& aOption, const std::string& aValue) {
  if (aValue.empty()) throw EqynOptionError(aOption + ": the value must not be empty");
  return aValue;
}

const std::vector<TqynRelayKeeperOption>& Table() {
  static const std::vector<TqynRelayKeeperOption> GTable = {
      {"--headless", nullptr, "run without the window: the log goes to standard output, one line each",
       [](TqynRelayKeeperOptions& o, const std::string&) { o.Headless = true; }},
      {"--host", "ADDR", "IPv4 or IPv6 address to listen on (default 127.0.0.1)",
       [](TqynRelayKeeperOptions& o, const std::string& v) { o.Host = ParseIPOption("--host", v); }},
      {"--port", "N", "UDP port to listen on, 0 for any free port (default 3478)",
       [](TqynRelayKeeperOptions& o, const std::string& v) { o.Port = ParsePortOption("--port", v, 0); }},
      {"--user", "NAME", "the one user name accepted for TURN requests (default qyn_user)",
       [](TqynRelayKeeperOptions& o, const std::string& v) { o.User = NonEmpty("--user", v); }},
      {"--password", "PW", "that user's password (default kiwi_tea)",
       [](TqynRelayKeeperOptions& o, const std::string& v) { o.Password = NonEmpty("--password", v); }},
      {"--realm", "R", "realm announced in authentication challenges (default Qynwire)",
       [](TqynRelayKeeperOptions& o, const std::string& v) { o.Realm = NonEmpty("--realm", v); }},
      {"--no-auth", nullptr, "serve TURN requests without long-term credentials",
       [](TqynRelayKeeperOptions& o, const std::string&) { o.Authentication = false; }},
      {"--relay-ip", "ADDR", "address of the relay ports (default: the listening address)",
       [](TqynRelayKeeperOptions& o, const std::string& v) { o.RelayIP = ParseIPOption("--relay-ip", v); }},
      {"--min-port", "N", "lowest relay port (default 49152)",
       [](TqynRelayKeeperOptions& o, const std::string& v) { o.MinPort = ParsePortOption("--min-port", v, 1); }},
      {"--max-port", "N", "bound of the relay ports, never granted itself (default 65535)",
       [](TqynRelayKeeperOptions& o, const std::string& v) { o.MaxPort = ParsePortOption("--max-port", v, 2); }},
      {"--metrics", "ADDR:PORT", "serve Prometheus metrics at http://ADDR:PORT/metrics (IPv6: [ADDR]:PORT; also with the window)",
       [](TqynRelayKeeperOptions& o, const std::string& v) {
         ParseHostPortOption("--metrics", v, o.MetricsHost, o.MetricsPort);
         o.Metrics = true;
       }},
      {"--auth-secret", "SECRET",
       "also accept user names EXPIRY[:NAME] with the password base64(HMAC-SHA1(SECRET, name)) "
       "until EXPIRY (Unix seconds)",
       [](TqynRelayKeeperOptions& o, const std::string& v) { o.AuthSecret = NonEmpty("--auth-secret", v); }},
      {"--max-allocations", "N", "allocations the server holds at once, 508 beyond; 0 for no limit (default 0)",
       [](TqynRelayKeeperOptions& o, const std::string& v) { o.MaxAllocations = ParseCountOption("--max-allocations", v, kMaxCount); }},
      {"--user-quota", "N", "allocations one user name may hold at once, 486 beyond; 0 for no limit (default 0)",
       [](TqynRelayKeeperOptions& o, const std::string& v) { o.UserQuota = ParseCountOption("--user-quota", v, kMaxCount); }},
      {"--unauth-rate", "N",
       "answers per second per source address to requests without valid credentials (the rest "
       "are dropped), 0 for no bound (default 10)",
       [](TqynRelayKeeperOptions& o, const std::string& v) { o.UnauthRate = ParseCountOption("--unauth-rate", v, kMaxCount); }},
      {"--allow-peer", "CIDR",
       "open this range to peers (repeatable; the most specific range decides)",
       [](TqynRelayKeeperOptions& o, const std::string& v) { o.AllowPeers.push_back(ParsePeerRangeOption("--allow-peer", v)); }},
      {"--deny-peer", "CIDR", "close this range to peers (repeatable)",
       [](TqynRelayKeeperOptions& o, const std::string& v) { o.DenyPeers.push_back(ParsePeerRangeOption("--deny-peer", v)); }},
      {"--allow-loopback-peers", nullptr, "relay to loopback peers (on by itself when --host is a loopback address)",
       [](TqynRelayKeeperOptions& o, const std::string&) { o.AllowLoopbackPeers = true; }},
      {"--verbose", nullptr, "also log deleted allocations, discarded messages and refused requests",
       [](TqynRelayKeeperOptions& o, const std::string&) { o.Verbose = true; }},
      {"--help", nullptr, "show this text and exit",
       [](TqynRelayKeeperOptions& o, const std::string&) { o.Help = true; }},
  };
  return GTable;
}

const TqynRelayKeeperOption* Find(const std::string& aName) {
  for (const TqynRelayKeeperOption& o : Table())
    if (aName == o.Name) return &o;
  return nullptr;
}

} // namespace

const std::vector<TqynRelayKeeperOption>& RelayKeeperOptionTable() { return Table(); }

uint16_t ParsePortOption(const std::string& aOption, const std::string& aValue, uint16_t aMin) {
  unsigned value = 0;
  const char* end = aValue.data() + aValue.size();
  const auto [ptr, ec] = std::from_chars(aValue.data(), end, value);
  if (aValue.empty() || ec != std::errc() || ptr != end || value < aMin || value > 65535)
    throw EqynOptionError(aOption + ": '" + aValue + "' is not a port number (" + std::to_string(aMin) + " - 65535)");
  return static_cast<uint16_t>(value);
}

std::string ParseIPOption(const std::string& aOption, const std::string& aValue) {
  in6_addr buf{};
  if (inet_pton(AF_INET, aValue.c_str(), &buf) == 1 || inet_pton(AF_INET6, aValue.c_str(), &buf) == 1) return aValue;
  throw EqynOptionError(aOption + ": '" + aValue + "' is not an IPv4 or IPv6 address");
}

void ParseHostPortOption(const std::string& aOption, const std::string& aValue, std::string& VHost, uint16_t& VPort) {
  const auto bad = [&] {
    return EqynOptionError(aOption + ": '" + aValue + "' is not ADDR:PORT (an IPv6 address as [ADDR]:PORT)");
  };
  std::string host, port;
  if (!aValue.empty() && aValue.front() == '[') {
    const size_t close = aValue.find("]:");
    if (close == std::string::npos) throw bad();
    host = aValue.substr(1, close - 1);
    port = aValue.substr(close + 2);
    if (host.find(':') == std::string::npos) throw bad(); // brackets are for IPv6 only
  } else {
    const size_t colon = aValue.find(':');
    // An IPv6 address without brackets would be ambiguous (is the last group the port?).
    if (colon == std::string::npos || aValue.find(':', colon + 1) != std::string::npos) throw bad();
    host = aValue.substr(0, colon);
    port = aValue.substr(colon + 1);
  }
  VHost = ParseIPOption(aOption, host);
  VPort = ParsePortOption(aOption, port, 0);
}

int ParseCountOption(const std::string& aOption, const std::string& aValue, int aMax) {
  int value = 0;
  const char* end = aValue.data() + aValue.size();
  const auto [ptr, ec] = std::from_chars(aValue.data(), end, value);
  if (aValue.empty() || ec != std::errc() || ptr != end || value < 0 || value > aMax)
    throw EqynOptionError(aOption + ": '" + aValue + "' is not a count (0 - " + std::to_string(aMax) + ")");
  return value;
}

std::string ParsePeerRangeOption(const std::string& aOption, const std::string& aValue) {
  try {
    ParsePeerRange(aValue);
  } catch (const EqynTURNPeerRange& E) {
    throw EqynOptionError(aOption + ": " + E.Message());
  }
  return aValue;
}

TqynRelayKeeperOptions ParseRelayKeeperOptions(int argc, const char* const* argv) {
  TqynRelayKeeperOptions options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool hasValue = false;
    if (const size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
      hasValue = true;
    }
    const TqynRelayKeeperOption* option = Find(arg);
    if (!option) throw EqynOptionError("unknown option '" + arg + "' (see --help)");
    if (option->ValueName && !hasValue) {
      if (i + 1 >= argc) throw EqynOptionError(arg + ": a value " + option->ValueName + " is missing");
      value = argv[++i];
    } else if (!option->ValueName && hasValue) {
      throw EqynOptionError(arg + " takes no value");
    }
    option->Apply(options, value);
    if (arg != "--headless" && arg != "--help" && arg != "--metrics") options.DaemonOptionGiven = true;
  }
  if (options.MinPort >= options.MaxPort)
    throw EqynOptionError("--min-port " + std::to_string(options.MinPort) + " must be below --max-port " +
                          std::to_string(options.MaxPort));
  if (!options.AuthSecret.empty()) {
    if (!options.Authentication) throw EqynOptionError("--auth-secret needs the credentials that --no-auth turns off");
    int64_t expiry = 0;
    if (ParseTimeLimitedUsername(options.User, expiry))
      throw EqynOptionError("--user: '" + options.User + "' has the form EXPIRY[:NAME] that --auth-secret takes for "
                                                         "time-limited user names");
  }
  return options;
}

std::string RelayKeeperUsage() {
  std::string out =
      "Usage: relaykeeper [--headless [OPTION...]]\n"
      "A STUN/TURN server on UDP. Without --headless it opens its window (and runs headless when no\n"
      "display is available); the window takes its settings from its own fields.\n\nOptions:\n";
  for (const TqynRelayKeeperOption& o : Table()) {
    std::string left = std::string("  ") + o.Name + (o.ValueName ? std::string(" ") + o.ValueName : std::string());
    if (left.size() < 22) left.resize(22, ' ');
    else left += ' ';
    out += left + o.Help + "\n";
  }
  out +=
      "\nHeadless, the log lines go to standard output as they happen; SIGINT or SIGTERM stops the\n"
      "server (\"#stop server\", exit 0). Exit status: 0 stopped cleanly, 1 could not listen, 2 bad\n"
      "command line.\n\n"
      "Peers: the daemon relays only to globally reachable addresses. It refuses every range the IANA\n"
      "special-purpose registries mark as not globally reachable (private, shared, loopback, link-local,\n"
      "unique-local, documentation, benchmarking, reserved, broadcast), multicast, and the IPv6 forms that\n"
      "carry a refused IPv4 address (::ffff:a.b.c.d, ::a.b.c.d, 2002::/16, 64:ff9b::/96, Teredo): a\n"
      "CreatePermission or ChannelBind for such a peer gets 403, data to or from it is dropped. Loopback\n"
      "peers are allowed when --host is a loopback address or with --allow-loopback-peers. A LAN opens\n"
      "its range with --allow-peer (for example --allow-peer 192.168.1.0/24).\n";
  return out;
}
