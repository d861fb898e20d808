#include "qynRelayProbe_WindowLog.h"

namespace {

std::string Endpoint(const std::string& aIP, unsigned aPort) { return aIP + ":" + std::to_string(aPort); }

std::string Text(const TqynBytes& aBytes) { return std::string(aBytes.begin(), aBytes.end()); }

} // namespace

std::string ClientExceptionLine(const std::string& aMessage) { return "#exception: " + aMessage; }

std::string ClientErrorLine(const TqynSTUN_ResponseError& aError) {
  return "#error: " + std::to_string(aError.FCode) + " " + aError.FReason;
}

std::string ClientBindingAttributeLine(const TqynSTUN_Attribute& aAttribute) {
  switch (aAttribute.AttributeType()) {
  case stmaFingerprint: {
    const auto* fingerprint = dynamic_cast<const TqynSTUN_Attribute_FINGERPRINT*>(&aAttribute);
    return fingerprint ? "#fingerprint: " + std::to_string(fingerprint->Fingerprint()) : std::string();
  }
  case stmaSoftware: {
    const auto* software = dynamic_cast<const TqynSTUN_Attribute_SOFTWARE*>(&aAttribute);
    return software ? "#software: " + software->Software() : std::string();
  }
  case stmaResponse_Origin:
    return "#response_origin: " + Endpoint(aAttribute.Address(), aAttribute.Port());
  case stmaOther_Address:
    return "#other_address: " + Endpoint(aAttribute.Address(), aAttribute.Port());
  case stmaSource_Address:
    return "#source_address: " + Endpoint(aAttribute.Address(), aAttribute.Port());
  case stmaChanged_Address:
    return "#changed_address: " + Endpoint(aAttribute.Address(), aAttribute.Port());
  default:
    return std::string();
  }
}

std::vector<std::string> ClientBindingLines(const TqynSTUN_ResponseBinding& aBinding, const TqynSTUN_Message& aMessage) {
  std::vector<std::string> lines{"#binding: " + Endpoint(aBinding.FRemoteIP, aBinding.FRemotePort)};
  for (const auto& attribute : aMessage.Attributes()) {
    std::string line = ClientBindingAttributeLine(*attribute);
    if (!line.empty()) lines.push_back(std::move(line));
  }
  return lines;
}

std::string ClientAllocateLine(const TqynTURN_ResponseAllocation& aAllocation) {
  return "#Allocate: " + Endpoint(aAllocation.FRelayedIP, aAllocation.FRelayedPort);
}

std::string ClientRefreshLine(const TqynTURN_ResponseRefresh& aRefresh) { return "#Refresh: " + std::to_string(aRefresh.FLifetime); }

std::string ClientCreatePermissionLine(TqynTURN_ResponseCreatePermission& aCreatePermission) {
  std::string line = "#Create Permission: ";
  for (const std::string& address : aCreatePermission.IPAddresses()) line += address + "\n";
  return line;
}

std::string ClientChannelBindLine(const TqynTURN_ResponseChannelBind& aChannelBind) {
  return "#Channel Bind: " + std::to_string(aChannelBind.FChannel);
}

std::string ClientChannelDataLine(const TqynTURNChannelData& aChannelData) {
  return "#Channel Data: [" + std::to_string(aChannelData.ChannelID()) + "] " + Text(aChannelData.Data());
}

std::string ClientDataIndicationLine(const TqynTURN_ResponseDataIndication& aDataIndication) {
  return "#Data Indication: [" + Endpoint(aDataIndication.FPeerIP, aDataIndication.FPeerPort) + "] " + Text(aDataIndication.FData);
}
