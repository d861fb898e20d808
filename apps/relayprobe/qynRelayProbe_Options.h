// The command line of relayprobe: options (one table of rows, so the parser and --help always
// agree), then commands with their arguments, each checked when it is read so that a bad command
// line is refused before anything is sent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qynBase_Types.h"

QYN_DECLARE_EXCEPTION(EqynRelayProbeOptionError, Exception)

enum TqynRelayProbeCommandKind : uint8_t {
  rpcBinding,
  rpcAllocate,
  rpcRefresh,
  rpcPermission,
  rpcSend,
  rpcChannel,
  rpcChannelData,
  rpcWait,
  rpcCheck,
};

// One command with its checked arguments (only those of its kind are set).
struct TqynRelayProbeCommand {
  TqynRelayProbeCommandKind Kind = rpcBinding;
  std::string Name;          // as written: "allocate", "channel-data", ...
  std::string Address;       // permission: the whole ADDR[,ADDR...] text; send, channel: ADDR
  uint16_t Port = 0;         // send, channel
  uint32_t Number = 0;       // refresh: LIFETIME; channel-data: NUMBER
  std::string Text;          // send, channel-data
  uint64_t Milliseconds = 0; // wait
};

struct TqynRelayProbeOptions {
  bool Help = false;
  bool OptionGiven = false; // any option but --help
  std::string Host = "127.0.0.1";
  uint16_t Port = 3478;
  std::string User = "qyn_user";
  std::string Password = "kiwi_tea";
  bool PasswordGiven = false;
  bool Credentials = true;
  std::string AuthSecret; // empty: the user's own password
  int RTO = 500;          // milliseconds
  int MaxRetries = 7;
  bool Retransmissions = true;
  bool TCP = false;
  uint64_t TimeoutMs = 10000;
  std::vector<TqynRelayProbeCommand> Commands;
};

struct TqynRelayProbeOption {
  const char* Name;      // "--port"
  const char* ValueName; // "N"; null for a flag
  const char* Help;
  void (*Apply)(TqynRelayProbeOptions& aOptions, const std::string& aValue);
};

struct TqynRelayProbeCommandSyntax {
  const char* Name;      // "send"
  const char* Arguments; // "ADDR PORT TEXT"
  const char* Help;
};

// The tables, in the order --help lists them.
const std::vector<TqynRelayProbeOption>& RelayProbeOptionTable();
const std::vector<TqynRelayProbeCommandSyntax>& RelayProbeCommandTable();

// Parses argv[1..]: options ("--name value" or "--name=value") up to the first word that is not
// an option, then commands with their arguments. Raises EqynRelayProbeOptionError with a message
// that names the option or command for anything unknown, missing, malformed or inconsistent.
TqynRelayProbeOptions ParseRelayProbeOptions(int argc, const char* const* argv);

// The --help text, and the short text shown when the probe cannot open its window.
std::string RelayProbeUsage();
std::string RelayProbeShortUsage();
