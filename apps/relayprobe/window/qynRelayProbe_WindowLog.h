// The log lines of the relayprobe window, one per event of its TURN client component. Plain
// text functions without Qt, so that any host of the component can print the same lines.
// Received data is passed through as its bytes (the window shows them decoded as UTF-8).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qynP2P_TURN_Client.h"

// "#exception: " + aMessage.
std::string ClientExceptionLine(const std::string& aMessage);
// "#error: " + code + " " + reason.
std::string ClientErrorLine(const TqynSTUN_ResponseError& aError);
// "#binding: " + the reflexive address, then one line for each FINGERPRINT, SOFTWARE,
// RESPONSE-ORIGIN, OTHER-ADDRESS, SOURCE-ADDRESS and CHANGED-ADDRESS of aMessage, in message
// order; other attributes give no line.
std::vector<std::string> ClientBindingLines(const TqynSTUN_ResponseBinding& aBinding, const TqynSTUN_Message& aMessage);
// The line of one attribute of a Binding response; empty for the kinds that are not logged.
std::string ClientBindingAttributeLine(const TqynSTUN_Attribute& aAttribute);
// "#Allocate: " + relayed address.
std::string ClientAllocateLine(const TqynTURN_ResponseAllocation& aAllocation);
// "#Refresh: " + lifetime.
std::string ClientRefreshLine(const TqynTURN_ResponseRefresh& aRefresh);
// "#Create Permission: " + every address, each followed by a line break.
std::string ClientCreatePermissionLine(TqynTURN_ResponseCreatePermission& aCreatePermission);
// "#Channel Bind: " + channel number.
std::string ClientChannelBindLine(const TqynTURN_ResponseChannelBind& aChannelBind);
// "#Channel Data: [" + channel number + "] " + the data.
std::string ClientChannelDataLine(const TqynTURNChannelData& aChannelData);
// "#Data Indication: [" + peer address + "] " + the data.
std::string ClientDataIndicationLine(const TqynTURN_ResponseDataIndication& aDataIndication);
