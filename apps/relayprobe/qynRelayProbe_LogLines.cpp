#include "qynRelayProbe_LogLines.h"

#include <memory>

namespace {

std::string AddressText(const std::string& aIP, uint16_t aPort) { return aIP + ":" + std::to_string(aPort); }

// Label of an attribute that the binding lines show, or null.
const char* BindingAttributeLabel(TqynStunMessageAttribute aType) noexcept {
  switch (aType) {
  case stmaFingerprint: return "#fingerprint: ";
  case stmaSoftware: return "#software: ";
  case stmaResponse_Origin: return "#response_origin: ";
  case stmaOther_Address: return "#other_address: ";
  case stmaSource_Address: return "#source_address: ";
  case stmaChanged_Address: return "#changed_address: ";
  default: return nullptr;
  }
}

std::string BindingAttributeValue(const TqynSTUN_Attribute& aAttribute) {
  if (const auto* f = dynamic_cast<const TqynSTUN_Attribute_FINGERPRINT*>(&aAttribute))
    return std::to_string(f->Fingerprint());
  if (const auto* s = dynamic_cast<const TqynSTUN_Attribute_SOFTWARE*>(&aAttribute))
    return RelayProbeDataText(TqynBytes(s->Software().begin(), s->Software().end()));
  return AddressText(aAttribute.Address(), aAttribute.Port());
}

// Length of the UTF-8 sequence starting at aAt when it is a valid one (shortest form, no
// surrogate, at most U+10FFFF), 0 otherwise.
size_t ValidSequence(const TqynBytes& aData, size_t aAt) {
  const uint8_t b = aData[aAt];
  if (b < 0x80) return 1;
  size_t len;
  uint32_t cp;
  if ((b & 0xE0) == 0xC0) len = 2, cp = b & 0x1F;
  else if ((b & 0xF0) == 0xE0) len = 3, cp = b & 0x0F;
  else if ((b & 0xF8) == 0xF0) len = 4, cp = b & 0x07;
  else return 0;
  if (aAt + len > aData.size()) return 0;
  for (size_t i = 1; i < len; ++i) {
    if ((aData[aAt + i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (aData[aAt + i] & 0x3F);
  }
  static constexpr uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  if (cp >= 0x80 && cp < 0xA0) return 0; // C1 control characters
  return len;
}

constexpr const char* kReplacement = "\xEF\xBF\xBD"; // U+FFFD

} // namespace

std::string RelayProbeExceptionLine(const std::string& aMessage) { return "#exception: " + aMessage; }

std::string RelayProbeErrorLine(const TqynSTUN_ResponseError& aError) {
  return "#error: " + std::to_string(aError.FCode) + " " + aError.FReason;
}

std::vector<std::string> RelayProbeBindingLines(const TqynSTUN_Message& aMessage, const TqynSTUN_ResponseBinding& aBinding) {
  std::vector<std::string> lines{"#binding: " + AddressText(aBinding.FRemoteIP, aBinding.FRemotePort)};
  for (const auto& attribute : aMessage.Attributes())
    if (const char* label = BindingAttributeLabel(attribute->AttributeType()))
      lines.push_back(label + BindingAttributeValue(*attribute));
  return lines;
}

std::string RelayProbeAllocateLine(const TqynTURN_ResponseAllocation& aAllocation) {
  return "#Allocate: " + AddressText(aAllocation.FRelayedIP, aAllocation.FRelayedPort);
}

std::string RelayProbeRefreshLine(const TqynTURN_ResponseRefresh& aRefresh) {
  return "#Refresh: " + std::to_string(aRefresh.FLifetime);
}

std::string RelayProbeCreatePermissionLine(const TqynTURN_ResponseCreatePermission& aCreatePermission) {
  std::string line = "#Create Permission: ";
  if (aCreatePermission.FIPAddresses)
    for (const std::string& address : *aCreatePermission.FIPAddresses) line += address + "\n";
  return line;
}

std::string RelayProbeChannelBindLine(const TqynTURN_ResponseChannelBind& aChannelBind) {
  return "#Channel Bind: " + std::to_string(aChannelBind.FChannel);
}

std::string RelayProbeChannelDataLine(const TqynTURNChannelData& aChannelData) {
  return "#Channel Data: [" + std::to_string(aChannelData.ChannelID()) + "] " + RelayProbeDataText(aChannelData.Data());
}

std::string RelayProbeDataIndicationLine(const TqynTURN_ResponseDataIndication& aDataIndication) {
  return "#Data Indication: [" + AddressText(aDataIndication.FPeerIP, aDataIndication.FPeerPort) + "] " +
         RelayProbeDataText(aDataIndication.FData);
}

std::string RelayProbeTimeoutLine(const std::string& aCommand) { return "#timeout: " + aCommand; }

std::string RelayProbeDataText(const TqynBytes& aData) {
  std::string text;
  text.reserve(aData.size());
  for (size_t at = 0; at < aData.size();) {
    const uint8_t b = aData[at];
    if (b == '\t' || (b >= 0x20 && b < 0x7F)) {
      text += static_cast<char>(b);
      ++at;
      continue;
    }
    const size_t len = b < 0x80 ? 0 : ValidSequence(aData, at);
    if (len == 0) {
      text += kReplacement;
      ++at;
      continue;
    }
    text.append(reinterpret_cast<const char*>(aData.data() + at), len);
    at += len;
  }
  return text;
}

void HookRelayProbeLog(TqynTURNClient_Base& aClient, TqynRelayProbeLogEvent aLog) {
  auto log = std::make_shared<TqynRelayProbeLogEvent>(std::move(aLog));
  aClient.OnSTUNException = [log](TqynComponent_Base*, const Exception& E) {
    (*log)(rpeException, nullptr, RelayProbeExceptionLine(E.Message()));
  };
  aClient.OnSTUNResponseError = [log](TqynComponent_Base*, TqynSocketConnection*, TqynSTUN_Message* aMessage,
                                      TqynSTUN_ResponseError* aError) {
    (*log)(rpeError, aMessage, RelayProbeErrorLine(*aError));
  };
  aClient.OnSTUNResponseSuccess = [log](TqynComponent_Base*, TqynSocketConnection*, TqynSTUN_Message* aMessage,
                                        TqynSTUN_ResponseBinding* aBinding) {
    for (const std::string& line : RelayProbeBindingLines(*aMessage, *aBinding)) (*log)(rpeBinding, aMessage, line);
  };
  aClient.OnTURNAllocate = [log](TqynComponent_Base*, TqynSocketConnection*, TqynSTUN_Message* aMessage,
                                 TqynTURN_ResponseAllocation* aAllocation) {
    (*log)(rpeAllocate, aMessage, RelayProbeAllocateLine(*aAllocation));
  };
  aClient.OnTURNRefresh = [log](TqynComponent_Base*, TqynSocketConnection*, TqynSTUN_Message* aMessage,
                                TqynTURN_ResponseRefresh* aRefresh) {
    (*log)(rpeRefresh, aMessage, RelayProbeRefreshLine(*aRefresh));
  };
  aClient.OnTURNCreatePermission = [log](TqynComponent_Base*, TqynSocketConnection*, TqynSTUN_Message* aMessage,
                                         TqynTURN_ResponseCreatePermission* aCreatePermission) {
    (*log)(rpeCreatePermission, aMessage, RelayProbeCreatePermissionLine(*aCreatePermission));
  };
  aClient.OnTURNChannelBind = [log](TqynComponent_Base*, TqynSocketConnection*, TqynSTUN_Message* aMessage,
                                    TqynTURN_ResponseChannelBind* aChannelBind) {
    (*log)(rpeChannelBind, aMessage, RelayProbeChannelBindLine(*aChannelBind));
  };
  aClient.OnTURNChannelData = [log](TqynComponent_Base*, TqynSocketConnection*, TqynTURNChannelData* aChannelData) {
    (*log)(rpeChannelData, nullptr, RelayProbeChannelDataLine(*aChannelData));
  };
  aClient.OnTURNDataIndication = [log](TqynComponent_Base*, TqynSocketConnection*, TqynSTUN_Message* aMessage,
                                       TqynTURN_ResponseDataIndication* aDataIndication) {
    (*log)(rpeDataIndication, aMessage, RelayProbeDataIndicationLine(*aDataIndication));
  };
}
