// qyn-test-labels: unit
// qyn-test-libs: qyn_relayprobe qyn_turn_client qyn_stun_client
//
// relayprobe's log lines: each event's text, the binding's attribute lines in message order (only
// the six kinds it shows), and received data that cannot break a line or pose as another one. The
// window and the command-line probe both print these lines.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qynRelayProbe_LogLines.h"

namespace {

TqynBytes Bytes(const std::string& aText) { return TqynBytes(aText.begin(), aText.end()); }

const std::string R = "\xEF\xBF\xBD"; // U+FFFD

template <class T> void AddAddress(TqynSTUN_Message& m, const std::string& aIP, uint16_t aPort) {
  auto* a = m.Attributes().Add<T>();
  a->SetAddress(aIP);
  a->SetPort(aPort);
  a->SetFamily(aIP.find(':') == std::string::npos ? 1 : 2);
}

TEST(RelayProbeLogLines, EachEventHasItsText) {
  EXPECT_EQ(RelayProbeExceptionLine("Channel ID: 0 not exists."), "#exception: Channel ID: 0 not exists.");
  EXPECT_EQ(RelayProbeErrorLine({401, "Unauthorized"}), "#error: 401 Unauthorized");
  TqynTURN_ResponseAllocation allocation;
  allocation.FRelayedIP = "203.0.113.5";
  allocation.FRelayedPort = 49152;
  EXPECT_EQ(RelayProbeAllocateLine(allocation), "#Allocate: 203.0.113.5:49152");
  EXPECT_EQ(RelayProbeRefreshLine({0}), "#Refresh: 0");
  TqynTURN_ResponseCreatePermission permission;
  EXPECT_EQ(RelayProbeCreatePermissionLine(permission), "#Create Permission: ");
  permission.IPAddresses() = {"10.0.0.1", "::1"};
  EXPECT_EQ(RelayProbeCreatePermissionLine(permission), "#Create Permission: 10.0.0.1\n::1\n");
  EXPECT_EQ(RelayProbeChannelBindLine({16384, "10.0.0.1", 8080}), "#Channel Bind: 16384");
  TqynTURNChannelData channelData;
  channelData.SetChannelID(0x4001);
  channelData.SetData(Bytes("Hi from Qynwire."));
  EXPECT_EQ(RelayProbeChannelDataLine(channelData), "#Channel Data: [16385] Hi from Qynwire.");
  TqynTURN_ResponseDataIndication indication{Bytes("h\xC3\xA9llo"), "127.0.0.1", 9000};
  EXPECT_EQ(RelayProbeDataIndicationLine(indication), "#Data Indication: [127.0.0.1:9000] h\xC3\xA9llo");
  EXPECT_EQ(RelayProbeTimeoutLine("allocate"), "#timeout: allocate");
}

TEST(RelayProbeLogLines, NumbersAtTheirLimitsAndDataWithNulAndIPv6Peers) {
  EXPECT_EQ(RelayProbeRefreshLine({4294967295u}), "#Refresh: 4294967295");
  TqynTURN_ResponseChannelBind channel;
  channel.FChannel = 0x4FFF;
  EXPECT_EQ(RelayProbeChannelBindLine(channel), "#Channel Bind: 20479");
  TqynTURNChannelData data;
  data.SetChannelID(0x4000);
  data.SetData({'h', 0, 'i'});
  EXPECT_EQ(RelayProbeChannelDataLine(data), "#Channel Data: [16384] h" + R + "i");
  TqynTURN_ResponseDataIndication indication;
  indication.FPeerIP = "::1";
  indication.FPeerPort = 9;
  indication.FData = {0xC3, 0xBC, 0};
  EXPECT_EQ(RelayProbeDataIndicationLine(indication), "#Data Indication: [::1:9] \xC3\xBC" + R);
}

TEST(RelayProbeLogLines, BindingShowsItsAttributesInMessageOrder) {
  TqynSTUN_Message m;
  m.Attributes().Add<TqynSTUN_Attribute_XOR_MAPPED_ADDRESS>(); // not shown
  auto* origin = m.Attributes().Add<TqynSTUN_Attribute_RESPONSE_ORIGIN>();
  origin->SetAddress("127.0.0.1");
  origin->SetPort(3478);
  m.Attributes().Add<TqynSTUN_Attribute_SOFTWARE>()->SetSoftware("Qynwire 4.5.2");
  auto* other = m.Attributes().Add<TqynSTUN_Attribute_OTHER_ADDRESS>();
  other->SetAddress("::1");
  other->SetPort(3479);
  auto* source = m.Attributes().Add<TqynSTUN_Attribute_SOURCE_ADDRESS>();
  source->SetAddress("192.0.2.1");
  source->SetPort(1);
  auto* changed = m.Attributes().Add<TqynSTUN_Attribute_CHANGED_ADDRESS>();
  changed->SetAddress("192.0.2.2");
  changed->SetPort(2);
  m.Attributes().Add<TqynSTUN_Attribute_MAPPED_ADDRESS>(); // not shown
  m.Attributes().Add<TqynSTUN_Attribute_FINGERPRINT>()->SetFingerprint(0xFFFFFFFFu);
  TqynSTUN_ResponseBinding binding;
  binding.FRemoteIP = "203.0.113.9";
  binding.FRemotePort = 50000;
  const std::vector<std::string> expected = {"#binding: 203.0.113.9:50000",   "#response_origin: 127.0.0.1:3478",
                                             "#software: Qynwire 4.5.2",      "#other_address: ::1:3479",
                                             "#source_address: 192.0.2.1:1",  "#changed_address: 192.0.2.2:2",
                                             "#fingerprint: 4294967295"};
  EXPECT_EQ(RelayProbeBindingLines(m, binding), expected);
  EXPECT_EQ(RelayProbeBindingLines(TqynSTUN_Message(), TqynSTUN_ResponseBinding()),
            std::vector<std::string>{"#binding: :0"});
}

TEST(RelayProbeLogLines, BindingOfAnotherServerInItsOrderWithIPv6AndUnshownKinds) {
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
  const std::vector<std::string> expected = {
      "#binding: 203.0.113.9:50000",        "#software: coturn-4.6",
      "#changed_address: 198.51.100.4:3479", "#other_address: 2001:db8::7:3479",
      "#source_address: 198.51.100.3:3478",  "#response_origin: 198.51.100.3:3478",
      "#fingerprint: 4027435774"};
  EXPECT_EQ(RelayProbeBindingLines(m, binding), expected);
  EXPECT_EQ(RelayProbeBindingLines(TqynSTUN_Message(), binding), std::vector<std::string>{"#binding: 203.0.113.9:50000"});

  // A server's SOFTWARE text is shown like received data: it cannot start a line of its own.
  TqynSTUN_Message hostile;
  hostile.Attributes().Add<TqynSTUN_Attribute_SOFTWARE>()->SetSoftware("x\n#Allocate: 1.2.3.4:5");
  EXPECT_EQ(RelayProbeBindingLines(hostile, binding),
            (std::vector<std::string>{"#binding: 203.0.113.9:50000", "#software: x" + R + "#Allocate: 1.2.3.4:5"}));
}

TEST(RelayProbeLogLines, DataStaysOnItsLine) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain\ttab", "plain\ttab"},
      {"a\nb\r\n#binding: 1.2.3.4:5", "a" + R + "b" + R + R + "#binding: 1.2.3.4:5"},
      {std::string("nul\0x", 5), "nul" + R + "x"},
      {"\x1B[2Jesc\x7F", R + "[2Jesc" + R},
      {"\xE2\x82\xAC \xF0\x9F\x98\x80", "\xE2\x82\xAC \xF0\x9F\x98\x80"},  // valid 3- and 4-byte forms
      {"\xC0\xAF", R + R},                                                // overlong
      {"\xED\xA0\x80", R + R + R},                                        // surrogate
      {"\xF4\x90\x80\x80", R + R + R + R},                                // above U+10FFFF
      {"\xC2\x85", R + R},                                                // C1 next line
      {"cut\xE2\x82", "cut" + R + R},                                     // truncated at the end
      {"\xFF\xFE", R + R},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(RelayProbeDataText(Bytes(in)), out) << in;
}

TEST(RelayProbeLogLines, HookGivesEveryEventItsLines) {
  TqynTURNClient client;
  std::vector<std::pair<TqynRelayProbeEvent, std::string>> lines;
  HookRelayProbeLog(client, [&](TqynRelayProbeEvent aEvent, TqynSTUN_Message*, const std::string& aLine) {
    lines.emplace_back(aEvent, aLine);
  });
  EXPECT_FALSE(client.OnSTUNBeforeSend);
  EXPECT_FALSE(client.OnTURNICMPIndication);
  client.SendChannelData(0, std::string("x")); // raises inside and reports through OnSTUNException
  client.SendIndication("192.168.1.1", 8080, std::string("Hi from Qynwire."));
  TqynTURNChannelData data;
  data.SetChannelID(16384);
  data.SetData(Bytes("d"));
  client.OnTURNChannelData(&client, nullptr, &data);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], std::make_pair(rpeException, std::string("#exception: Channel ID: 0 not exists.")));
  EXPECT_EQ(lines[1], std::make_pair(rpeException,
                                     std::string("#exception: There is not Valid permission for IP Address: 192.168.1.1")));
  EXPECT_EQ(lines[2], std::make_pair(rpeChannelData, std::string("#Channel Data: [16384] d")));
}

} // namespace
