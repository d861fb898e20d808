// The log lines of relayprobe, one per event of its TURN client component, shared by the window
// and the command-line probe so that both write exactly the same texts:
//
//   "#exception: " + message          "#error: " + code + " " + reason
//   "#binding: " + IP:port, then one line per FINGERPRINT, SOFTWARE, RESPONSE-ORIGIN,
//     OTHER-ADDRESS, SOURCE-ADDRESS and CHANGED-ADDRESS of the response, in message order
//   "#Allocate: " + relayed IP:port   "#Refresh: " + lifetime
//   "#Create Permission: " + each address followed by a line break
//   "#Channel Bind: " + number        "#Channel Data: [" + number + "] " + data
//   "#Data Indication: [" + peer IP:port + "] " + data
//
// Numbers are decimal without padding. Received data is shown as UTF-8 text (see
// RelayProbeDataText). No Qt here: the functions are plain text formatters.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "qynP2P_TURN_Client.h"

// Which component event a log line belongs to.
enum TqynRelayProbeEvent : uint8_t {
  rpeException,
  rpeError,
  rpeBinding,
  rpeAllocate,
  rpeRefresh,
  rpeCreatePermission,
  rpeChannelBind,
  rpeChannelData,
  rpeDataIndication,
};

std::string RelayProbeExceptionLine(const std::string& aMessage);
std::string RelayProbeErrorLine(const TqynSTUN_ResponseError& aError);
// The binding line, then the attribute lines in message order.
std::vector<std::string> RelayProbeBindingLines(const TqynSTUN_Message& aMessage, const TqynSTUN_ResponseBinding& aBinding);
std::string RelayProbeAllocateLine(const TqynTURN_ResponseAllocation& aAllocation);
std::string RelayProbeRefreshLine(const TqynTURN_ResponseRefresh& aRefresh);
// Holds a line break after each address, so it ends with one when there is any address.
std::string RelayProbeCreatePermissionLine(const TqynTURN_ResponseCreatePermission& aCreatePermission);
std::string RelayProbeChannelBindLine(const TqynTURN_ResponseChannelBind& aChannelBind);
std::string RelayProbeChannelDataLine(const TqynTURNChannelData& aChannelData);
std::string RelayProbeDataIndicationLine(const TqynTURN_ResponseDataIndication& aDataIndication);
// The probe's own line for a command that got no answer in time: "#timeout: " + aCommand.
std::string RelayProbeTimeoutLine(const std::string& aCommand);

// Received bytes as UTF-8 text. Bytes that are not valid UTF-8, and control characters other
// than tab (line breaks among them), become U+FFFD, so that data from a peer always stays on its
// own log line and cannot pose as another line.
std::string RelayProbeDataText(const TqynBytes& aData);

// Receives each log line with its event and the message it came from (null for exceptions and
// ChannelData). A binding response gives several calls, its binding line first.
using TqynRelayProbeLogEvent =
    std::function<void(TqynRelayProbeEvent aEvent, TqynSTUN_Message* aMessage, const std::string& aLine)>;

// Assigns the nine handlers of the window's log (OnSTUNException, OnSTUNResponseError,
// OnSTUNResponseSuccess, OnTURNAllocate, OnTURNRefresh, OnTURNCreatePermission, OnTURNChannelBind,
// OnTURNChannelData, OnTURNDataIndication) so that each event hands its lines to aLog, in the
// context in which the component raises the event. OnSTUNBeforeSend and OnTURNICMPIndication are
// left as they are.
void HookRelayProbeLog(TqynTURNClient_Base& aClient, TqynRelayProbeLogEvent aLog);
