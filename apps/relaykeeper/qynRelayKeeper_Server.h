// What the relaykeeper window and the headless daemon share: the server component's design-time
// settings, the settings a Start applies, the log line texts, and the mends of a restart (no
// allocation is left without its relay binding) and of a failed bind (its reason as text).
#pragma once

#include <string>

#include "qynP2P_TURN_Server.h"

// The values the relaykeeper's server component is given when it is made; a Start overwrites
// only the settings of TqynRelayKeeperStart.
void ApplyRelayKeeperDesignSettings(TqynTURNServer& aServer);

// The settings a Start copies into the component.
struct TqynRelayKeeperStart {
  TwsNotifyEvent NotifyEvents = neAsynchronous;
  std::string Host = "127.0.0.1";
  TIdPort Port = 3478;
  bool LongTermCredentials = true;
  std::string Realm = RS_STUNDefaultRealm;
};

// Start on an inactive server: drops the allocations (DropRelayKeeperAllocations), applies
// aStart (one binding on Host:Port), sets Active. True when the server listens afterwards.
bool StartRelayKeeperServer(TqynTURNServer& aServer, const TqynRelayKeeperStart& aStart);

// Takes every allocation out of the table and removes its relay binding (the server must be
// inactive), so that a restart leaves no allocation without its relay binding: the clients'
// next requests get 437 and they allocate anew. Returns how many were dropped.
int DropRelayKeeperAllocations(TqynTURNServer& aServer);

// Why aHost:aPort cannot be bound for UDP, as one line (a bind is tried again to learn it).
std::string ListenFailureText(const std::string& aHost, TIdPort aPort);

// The log lines.
std::string StartServerLine();
std::string StopServerLine();
std::string ExceptionLine(const std::string& aMessage);
std::string NewAllocationLine(const TqynTURNAllocationItem& aAllocation);
std::string DeletedAllocationLine(const TqynTURNAllocationItem& aAllocation);
std::string MessageDiscardedLine(const TqynSocketConnection* aSocket, TqynStunMessageMethod aMethod, const std::string& aReason);
std::string ChannelDataDiscardedLine(const TqynSocketConnection* aSocket, const std::string& aReason);
std::string RequestRefusedLine(const TqynSocketConnection* aSocket, const TqynSTUN_Message* aRequest,
                               const TqynSTUN_Message* aResponse);

// "Binding", "Allocate", ... ("Unknown" for others).
const char* StunMethodName(TqynStunMessageMethod aMethod) noexcept;

// The password of the one accepted user: aPassword when aUsername and aRealm equal aUser and
// aServerRealm exactly, otherwise empty.
std::string RelayKeeperPassword(const std::string& aUsername, const std::string& aRealm, const std::string& aUser,
                                const std::string& aServerRealm, const std::string& aPassword);
// The same beside time-limited credentials: with a non-empty aSecret, a user name of the form
// EXPIRY[:NAME] in aServerRealm gets its derived password (TimeLimitedPassword), expired or not:
// the refusal of an expired one is a fresh challenge, not a failed signature. Any other user
// name is checked as above.
std::string RelayKeeperPassword(const std::string& aUsername, const std::string& aRealm, const std::string& aUser,
                                const std::string& aServerRealm, const std::string& aPassword, const std::string& aSecret);
