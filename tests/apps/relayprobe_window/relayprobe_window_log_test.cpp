// qyn-test-labels: unit
// qyn-test-libs: relayprobe_window
//
// The log lines of the relayprobe window: the Binding lines for every attribute kind that is
// logged, in message order, and nothing for the others; the TURN lines with their numbers in
// decimal and the received data as its bytes.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qynRelayProbe_WindowLog.h"

namespace {

template <class T> T* AddAddress(TqynSTUN_Message& m, const std::string& aIP, uint16_t aPort) {
  auto* a = m.Attributes().Add<T>();
  a->SetAddress(aIP);
  a->SetPort(aPort);
  a->SetFamily(aIP.find(':') == std::string::npos ? 1 : 2);
  return a;
}

TEST(RelayProbeLog, BindingLinesFollowTheAttributesInMessageOrder) {
  TqynSTUN_Message m;
  AddAddress<TqynSTUN_Attribute_XOR_MAPPED_ADDRESS>(m, "203.0.113.9", 50000);
  AddAddress<TqynSTUN_Attribute_MAPPED_ADDRESS>(m, "203.0.113.9", 50000);
  m.Attributes().Add<TqynSTUN_Attribute_SOFTWARE>()->SetSoftware("coturn-4.6");
  AddAddress<TqynSTUN_Attribute_CHANGED_ADDRESS>(m, "198.51.100.4", 3479);
  AddAddress<TqynSTUN_Attribute_OTHER_ADDRESS>(m, "2001:db8::7", 3479);
  m.Attributes().Add<TqynSTUN_Attribute_USERNAME>()->SetUsername("not logged");
  AddAddress<TqynSTUN_Attribute_SOURCE_ADDRESS>(m, "198.51.100.3", 3478);
  AddAddress<TqynSTUN_Attribute_RESPONSE_ORIGIN>(m, "198.51.100.3", 3478);
  m.Attributes().Add<TqynSTUN_Attribute_FINGERPRINT>()->SetFingerprint(0xF00DCAFE);

  TqynSTUN_ResponseBinding binding;
  binding.FRemoteIP = "203.0.113.9";
  binding.FRemotePort = 50000;
  EXPECT_EQ(ClientBindingLines(binding, m), (std::vector<std::string>{
                                                "#binding: 203.0.113.9:50000",
                                                "#software: coturn-4.6",
                                                "#changed_address: 198.51.100.4:3479",
                                                "#other_address: 2001:db8::7:3479",
                                                "#source_address: 198.51.100.3:3478",
                                                "#response_origin: 198.51.100.3:3478",
                                                "#fingerprint: 4027435774",
                                            }));
  TqynSTUN_Message empty;
  EXPECT_EQ(ClientBindingLines(binding, empty), std::vector<std::string>{"#binding: 203.0.113.9:50000"});
}

TEST(RelayProbeLog, TURNLines) {
  EXPECT_EQ(ClientExceptionLine("Channel ID: 0 not exists."), "#exception: Channel ID: 0 not exists.");
  EXPECT_EQ(ClientErrorLine({401, "Unauthorized"}), "#error: 401 Unauthorized");

  TqynTURN_ResponseAllocation allocation;
  allocation.FRelayedIP = "203.0.113.5";
  allocation.FRelayedPort = 49152;
  EXPECT_EQ(ClientAllocateLine(allocation), "#Allocate: 203.0.113.5:49152");
  EXPECT_EQ(ClientRefreshLine({4294967295u}), "#Refresh: 4294967295");

  TqynTURN_ResponseCreatePermission permission;
  EXPECT_EQ(ClientCreatePermissionLine(permission), "#Create Permission: ");
  permission.IPAddresses() = {"10.0.0.1", "10.0.0.2"};
  EXPECT_EQ(ClientCreatePermissionLine(permission), "#Create Permission: 10.0.0.1\n10.0.0.2\n");

  TqynTURN_ResponseChannelBind channel;
  channel.FChannel = 0x4FFF;
  EXPECT_EQ(ClientChannelBindLine(channel), "#Channel Bind: 20479");

  TqynTURNChannelData data;
  data.SetChannelID(0x4000);
  data.SetData({'h', 0, 'i'});
  EXPECT_EQ(ClientChannelDataLine(data), std::string("#Channel Data: [16384] h\0i", 26));

  TqynTURN_ResponseDataIndication indication;
  indication.FPeerIP = "::1";
  indication.FPeerPort = 9;
  indication.FData = {0xC3, 0xBC};
  EXPECT_EQ(ClientDataIndicationLine(indication), "#Data Indication: [::1:9] \xC3\xBC");
}

} // namespace
