#include "qynRelayProbe_Options.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "qynId_Address.h"
#include "qynP2P_TURN_Client.h"

namespace {

using TOptionError = EqynRelayProbeOptionError;

std::string NonEmpty(const std::string& aName, const std::string& aValue) {
  if (aValue.empty()) throw TOptionError(aName + ": the value must not be empty");
  return aValue;
}

// A decimal integer from aMin to aMax, nothing else (no sign, no blanks, no hex).
uint64_t Integer(const std::string& aName, const std::string& aValue, uint64_t aMin, uint64_t aMax) {
  uint64_t value = 0;
  const char* end = aValue.data() + aValue.size();
  const auto [ptr, ec] = std::from_chars(aValue.data(), end, value);
  if (aValue.empty() || ec != std::errc() || ptr != end || value < aMin || value > aMax)
    throw TOptionError(aName + ": '" + aValue + "' is not an integer from " + std::to_string(aMin) + " to " +
                       std::to_string(aMax));
  return value;
}

// Seconds as a decimal number ("2", "0.5") from aMin to one day, in milliseconds.
uint64_t Seconds(const std::string& aName, const std::string& aValue, double aMin) {
  const bool digitsOnly = !aValue.empty() && aValue.find_first_not_of("0123456789.") == std::string::npos;
  char* end = nullptr;
  const double value = digitsOnly ? std::strtod(aValue.c_str(), &end) : -1;
  if (!digitsOnly || *end != '\0' || !std::isfinite(value) || value < aMin || value > 86400)
    throw TOptionError(aName + ": '" + aValue + "' is not a number of seconds (" + (aMin > 0 ? "above 0" : "0") +
                       " to 86400)");
  return static_cast<uint64_t>(std::llround(value * 1000));
}

std::string IPAddress(const std::string& aName, const std::string& aValue) {
  uint8_t buf[16];
  if (QynParseIPv4(aValue, buf) || QynParseIPv6(aValue, buf)) return aValue;
  throw TOptionError(aName + ": '" + aValue + "' is not an IPv4 or IPv6 address");
}

const std::vector<TqynRelayProbeOption>& Options() {
  using O = TqynRelayProbeOptions;
  using S = const std::string&;
  static const std::vector<TqynRelayProbeOption> GTable = {
      {"--host", "H", "address of the STUN/TURN server (default 127.0.0.1; with a ':' it is IPv6)",
       [](O& o, S v) { o.Host = NonEmpty("--host", v); }},
      {"--port", "N", "its port (default 3478)",
       [](O& o, S v) { o.Port = static_cast<uint16_t>(Integer("--port", v, 1, 65535)); }},
      {"--user", "U", "user name of the long-term credentials (default qyn_user)",
       [](O& o, S v) { o.User = NonEmpty("--user", v); }},
      {"--password", "PW", "its password (default kiwi_tea)",
       [](O& o, S v) {
         o.Password = NonEmpty("--password", v);
         o.PasswordGiven = true;
       }},
      {"--no-credentials", nullptr, "send TURN requests without credentials (and without FINGERPRINT)",
       [](O& o, S) { o.Credentials = false; }},
      {"--auth-secret", "SECRET",
       "time-limited credentials from the server's shared secret\n"
       "                        (user EXPIRY:USER, EXPIRY = Unix time + 86400; password\n"
       "                        base64(HMAC-SHA1(SECRET, user)); not with --password)",
       [](O& o, S v) { o.AuthSecret = NonEmpty("--auth-secret", v); }},
      {"--rto", "MS", "first retransmission timeout of a UDP request, doubled on each resend (default 500)",
       [](O& o, S v) { o.RTO = static_cast<int>(Integer("--rto", v, 1, 60000)); }},
      {"--max-retries", "N", "transmissions of a UDP request in all (default 7)",
       [](O& o, S v) { o.MaxRetries = static_cast<int>(Integer("--max-retries", v, 1, 100)); }},
      {"--no-retransmissions", nullptr, "send each UDP request once",
       [](O& o, S) { o.Retransmissions = false; }},
      {"--tcp", nullptr, "carry STUN over TCP instead of UDP (one connection)", [](O& o, S) { o.TCP = true; }},
      {"--timeout", "S", "seconds each command waits for its answer (default 10)",
       [](O& o, S v) { o.TimeoutMs = Seconds("--timeout", v, 0.001); }},
      {"--help", nullptr, "show this text and exit", [](O& o, S) { o.Help = true; }},
  };
  return GTable;
}

const std::vector<TqynRelayProbeCommandSyntax>& Commands() {
  static const std::vector<TqynRelayProbeCommandSyntax> GTable = {
      {"binding", "", "Binding request (never with credentials): \"#binding: IP:PORT\" and the address lines"},
      {"allocate", "", "Allocate a relayed address (UDP, lifetime 600 s): \"#Allocate: IP:PORT\""},
      {"refresh", "LIFETIME", "Refresh the allocation for LIFETIME seconds, 0 ends it: \"#Refresh: LIFETIME\""},
      {"permission", "ADDR[,ADDR...]", "CreatePermission for one or more peer addresses: \"#Create Permission: ADDR\""},
      {"send", "ADDR PORT TEXT", "Send indication with TEXT to the peer ADDR:PORT (needs a permission)"},
      {"channel", "ADDR PORT", "ChannelBind the next free channel to the peer: \"#Channel Bind: NUMBER\""},
      {"channel-data", "NUMBER TEXT", "ChannelData with TEXT on channel NUMBER (decimal, e.g. 16384)"},
      {"wait", "SECONDS", "keep printing what arrives (\"#Data Indication: ...\", \"#Channel Data: ...\")"},
      {"check", "", "self-test of a TURN server (alone): two allocations relay to each other both ways"},
  };
  return GTable;
}

template <typename T> const T* FindByName(const std::vector<T>& aTable, const std::string& aName) {
  for (const T& row : aTable)
    if (aName == row.Name) return &row;
  return nullptr;
}

size_t ArgumentCount(TqynRelayProbeCommandKind aKind) {
  switch (aKind) {
  case rpcRefresh:
  case rpcPermission:
  case rpcWait: return 1;
  case rpcChannel:
  case rpcChannelData: return 2;
  case rpcSend: return 3;
  default: return 0;
  }
}

TqynRelayProbeCommand ReadCommand(TqynRelayProbeCommandKind aKind, const std::string& aName,
                                  const std::vector<std::string>& aArgs) {
  TqynRelayProbeCommand c;
  c.Kind = aKind;
  c.Name = aName;
  switch (aKind) {
  case rpcRefresh: c.Number = static_cast<uint32_t>(Integer("refresh LIFETIME", aArgs[0], 0, 0xFFFFFFFFu)); break;
  case rpcPermission: {
    const std::vector<std::string> entries = TqynTURNClient_Base::SplitPeerAddresses(aArgs[0]);
    if (entries.empty()) throw TOptionError("permission: no address in '" + aArgs[0] + "'");
    for (const std::string& entry : entries) IPAddress("permission", entry);
    c.Address = aArgs[0];
    break;
  }
  case rpcSend:
    c.Address = IPAddress("send ADDR", aArgs[0]);
    c.Port = static_cast<uint16_t>(Integer("send PORT", aArgs[1], 1, 65535));
    c.Text = aArgs[2];
    break;
  case rpcChannel:
    c.Address = IPAddress("channel ADDR", aArgs[0]);
    c.Port = static_cast<uint16_t>(Integer("channel PORT", aArgs[1], 1, 65535));
    break;
  case rpcChannelData:
    c.Number = static_cast<uint32_t>(Integer("channel-data NUMBER", aArgs[0], 0, 65535));
    c.Text = aArgs[1];
    break;
  case rpcWait: c.Milliseconds = Seconds("wait SECONDS", aArgs[0], 0); break;
  default: break;
  }
  return c;
}

TqynRelayProbeCommandKind KindOf(size_t aRow) { return static_cast<TqynRelayProbeCommandKind>(aRow); }

// Reads the commands from argv[aFirst..].
void ReadCommands(TqynRelayProbeOptions& aOptions, int argc, const char* const* argv, int aFirst) {
  for (int i = aFirst; i < argc;) {
    const std::string name = argv[i++];
    const TqynRelayProbeCommandSyntax* row = FindByName(Commands(), name);
    if (!row) throw TOptionError("unknown command '" + name + "' (see --help)");
    const TqynRelayProbeCommandKind kind = KindOf(static_cast<size_t>(row - Commands().data()));
    const size_t count = ArgumentCount(kind);
    if (static_cast<size_t>(argc - i) < count)
      throw TOptionError(name + ": " + row->Arguments + " expected (see --help)");
    std::vector<std::string> args(argv + i, argv + i + count);
    i += static_cast<int>(count);
    aOptions.Commands.push_back(ReadCommand(kind, name, args));
  }
  for (const TqynRelayProbeCommand& c : aOptions.Commands)
    if (c.Kind == rpcCheck && aOptions.Commands.size() > 1) throw TOptionError("check runs alone, without other commands");
}

void CheckConsistency(const TqynRelayProbeOptions& aOptions) {
  if (aOptions.AuthSecret.empty()) return;
  if (aOptions.PasswordGiven) throw TOptionError("--auth-secret computes the password: give --password or --auth-secret");
  if (!aOptions.Credentials) throw TOptionError("--auth-secret and --no-credentials exclude each other");
}

std::string Padded(std::string aLeft, size_t aWidth) {
  if (aLeft.size() < aWidth) {
    aLeft.resize(aWidth, ' ');
  } else {
    aLeft.push_back('\n');
    aLeft.append(aWidth, ' ');
  }
  return aLeft;
}

} // namespace

const std::vector<TqynRelayProbeOption>& RelayProbeOptionTable() { return Options(); }
const std::vector<TqynRelayProbeCommandSyntax>& RelayProbeCommandTable() { return Commands(); }

TqynRelayProbeOptions ParseRelayProbeOptions(int argc, const char* const* argv) {
  TqynRelayProbeOptions options;
  int i = 1;
  for (; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.rfind("--", 0) != 0) break;
    std::string value;
    bool hasValue = false;
    if (const size_t eq = arg.find('='); eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
      hasValue = true;
    }
    const TqynRelayProbeOption* option = FindByName(Options(), arg);
    if (!option) throw TOptionError("unknown option '" + arg + "' (see --help)");
    if (option->ValueName && !hasValue) {
      if (i + 1 >= argc) throw TOptionError(arg + ": a value " + option->ValueName + " is missing");
      value = argv[++i];
    } else if (!option->ValueName && hasValue) {
      throw TOptionError(arg + " takes no value");
    }
    option->Apply(options, value);
    if (arg != "--help") options.OptionGiven = true;
  }
  if (options.Help) return options;
  ReadCommands(options, argc, argv, i);
  CheckConsistency(options);
  return options;
}

std::string RelayProbeShortUsage() {
  return "Usage: relayprobe [OPTION...] COMMAND [ARGS]... (relayprobe --help describes them all)\n"
         "Example: relayprobe allocate permission 127.0.0.1 send 127.0.0.1 9000 hello wait 2\n"
         "         relayprobe check\n";
}

std::string RelayProbeUsage() {
  std::string out =
      "Usage: relayprobe [OPTION...] COMMAND [ARGS]...\n"
      "       relayprobe            (the window, when a display is available)\n"
      "A STUN/TURN client. The commands run in the order given on one client (one local UDP port),\n"
      "each waiting for its answer and printing the window's log line for it.\n\nOptions:\n";
  for (const TqynRelayProbeOption& o : Options())
    out += Padded(std::string("  ") + o.Name + (o.ValueName ? std::string(" ") + o.ValueName : std::string()), 24) +
           o.Help + "\n";
  out += "\nCommands:\n";
  for (const TqynRelayProbeCommandSyntax& c : Commands())
    out += Padded(std::string("  ") + c.Name + (*c.Arguments ? std::string(" ") + c.Arguments : std::string()), 30) +
           c.Help + "\n";
  out +=
      "\nEvery event prints one log line as it happens: \"#binding: \", \"#Allocate: \", \"#Refresh: \",\n"
      "\"#Create Permission: \", \"#Channel Bind: \", \"#Data Indication: [IP:PORT] \", \"#Channel Data: [N] \",\n"
      "\"#error: CODE REASON\" for an error response, \"#exception: TEXT\" for a refused operation or a\n"
      "message that could not be read. A command that gets no answer within --timeout prints\n"
      "\"#timeout: \" and its name. The run stops at the first command that fails.\n"
      "\n"
      "check makes two allocations, gives each a permission for the other's relayed address, sends\n"
      "data both ways as Send/Data indications and again over channels, and ends both allocations with\n"
      "refresh 0. Each step prints its outcome and round-trip time; the last line is the verdict\n"
      "(PASS, or which of: wrong user name or password, no answer, allocates but does not relay).\n"
      "\n"
      "Exit status: 0 every command succeeded (check: every step passed), 1 otherwise, 2 bad usage.\n"
      "Examples:\n"
      "  relayprobe binding\n"
      "  relayprobe --port 3479 allocate permission 127.0.0.1 send 127.0.0.1 9000 hello wait 2\n"
      "  relayprobe allocate channel 127.0.0.1 9000 channel-data 16384 hello wait 2 refresh 0\n"
      "  relayprobe --host 192.0.2.10 --user alice --password secret check\n";
  return out;
}
