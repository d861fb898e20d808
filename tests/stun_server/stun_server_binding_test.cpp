// qyn-test-labels: unit
// qyn-test-libs: qyn_stun_server
//
// Datagram processing of the STUN server without sockets: Binding responses byte for byte,
// attribute rules, error responses, events and hostile datagrams.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "qynMessages.h"
#include "qynUDP_Server.h"
#include "stun_server/stun_server_test_util.h"

namespace {

TqynBytes Hex(const std::string& aText) {
  TqynBytes out;
  std::string digits;
  for (char c : aText)
    if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
  for (size_t i = 0; i + 1 < digits.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  return out;
}

struct ServerFixture : ::testing::Test {
  TqynSTUNServer_Base Server;
  TFakeUDPSocket Socket;
  std::vector<std::string> Exceptions;

  ServerFixture() {
    Server.OnSTUNException = [this](TqynComponent_Base*, const Exception& E) { Exceptions.push_back(E.Message()); };
  }
  void Feed(const TqynBytes& aBytes) { Server.UDPServerRead(nullptr, &Socket, aBytes); }
  void Feed(TFakeUDPSocket& aSocket, const TqynBytes& aBytes) { Server.UDPServerRead(nullptr, &aSocket, aBytes); }
  // The only response sent so far, read back with the codec.
  void OnlyResponse(TqynSTUN_Message& aMessage) {
    ASSERT_EQ(Socket.Sent.size(), 1u);
    ReadResponse(Socket.Sent[0], aMessage);
  }
};

// ---- Binding success responses ------------------------------------------------------------

TEST_F(ServerFixture, BindingResponseIsByteExact) {
  Feed(BindingRequest());
  ASSERT_EQ(Socket.Sent.size(), 1u);
  const TqynBytes expected = Hex(
      "0101 0044 2112A442 B7E7A701BC34D686FA87DFAE"
      "0020 0008 0001 329A E112A643"   // XOR-MAPPED-ADDRESS 192.0.2.1:5000
      "0001 0008 0001 1388 C0000201"   // MAPPED-ADDRESS
      "802B 0008 0001 0D96 C6336407"   // RESPONSE-ORIGIN 198.51.100.7:3478
      "0004 0008 0001 0D96 C6336407"   // SOURCE-ADDRESS
      "8022 000D 51796E7769726520342E352E32 000000"); // SOFTWARE "Qynwire 4.5.2"
  EXPECT_EQ(Socket.Sent[0], expected);
  EXPECT_TRUE(Exceptions.empty());
}

TEST_F(ServerFixture, WildcardLocalAddressGivesNoOriginOrSource) {
  for (const char* local : {"0.0.0.0", "", "0:0:0:0:0:0:0:0"}) {
    SCOPED_TRACE(local);
    TFakeUDPSocket s("192.0.2.1", 5000, local, 3478);
    Feed(s, BindingRequest());
    ASSERT_EQ(s.Sent.size(), 1u);
    TqynSTUN_Message r;
    ReadResponse(s.Sent[0], r);
    EXPECT_EQ(AttributeTypes(r),
              (std::vector<TqynStunMessageAttribute>{stmaXOR_Mapped_Address, stmaMapped_Address, stmaSoftware}));
  }
}

TEST_F(ServerFixture, ValidFingerprintIsAnsweredWithFingerprint) {
  const TqynBytes request = BindingRequest([](TqynSTUN_Message& m) { m.SetFingerprint(stfsFingerprintValid); });
  Feed(request);
  TqynSTUN_Message r;
  OnlyResponse(r);
  EXPECT_EQ(r.Fingerprint(), stfsFingerprintValid);
  EXPECT_EQ(AttributeTypes(r), (std::vector<TqynStunMessageAttribute>{stmaXOR_Mapped_Address, stmaMapped_Address,
                                                                     stmaResponse_Origin, stmaSource_Address, stmaSoftware,
                                                                     stmaFingerprint}));
  EXPECT_EQ(r.MessageIntegrity(), stisNone);
}

TEST_F(ServerFixture, FingerprintOptionAloneDoesNotAddFingerprintToBinding) {
  // The response follows the request: no FINGERPRINT asked, none given.
  Server.STUNOptions().Fingerprint = true;
  Feed(BindingRequest());
  TqynSTUN_Message r;
  OnlyResponse(r);
  EXPECT_EQ(r.Fingerprint(), stfsNone);
}

TEST_F(ServerFixture, RFC3489RequestGetsMappedAddressOnlyAndItsCookieBack) {
  // An RFC 3489 client: the cookie field is part of its 16-byte transaction id; it also sends a
  // CHANGE-REQUEST without flags.
  const TqynBytes request = BuildMessage(0x0001, 0x0A0B0C0D, kTestTransactionId, [](TqynSTUN_Message& m) {
    m.Attributes().Add<TqynSTUN_Attribute_CHANGE_REQUEST>();
  });
  Feed(request);
  ASSERT_EQ(Socket.Sent.size(), 1u);
  const TqynBytes& out = Socket.Sent[0];
  ASSERT_GE(out.size(), 20u);
  EXPECT_EQ(TqynBytes(out.begin() + 4, out.begin() + 20), TqynBytes(request.begin() + 4, request.begin() + 20));
  TqynSTUN_Message r;
  ReadResponse(out, r);
  EXPECT_EQ(AttributeTypes(r), (std::vector<TqynStunMessageAttribute>{stmaMapped_Address, stmaResponse_Origin,
                                                                     stmaSource_Address, stmaSoftware}));
  const auto* mapped = r.Attributes().GetAttribute(stmaMapped_Address);
  EXPECT_EQ(mapped->Address(), "192.0.2.1");
  EXPECT_EQ(mapped->Port(), 5000);
}

TEST_F(ServerFixture, BindingAttributeOptions) {
  struct Case {
    const char* Name;
    std::function<void(TqynSTUNServer_Options&)> Set;
    std::vector<TqynStunMessageAttribute> Expected;
  };
  const std::vector<Case> cases = {
      {"no RFC 3489 mapped address", [](auto& o) { o.BindingAttributes.MappedAddressRFC3489 = false; },
       {stmaXOR_Mapped_Address, stmaResponse_Origin, stmaSource_Address, stmaSoftware}},
      {"no response origin", [](auto& o) { o.BindingAttributes.ResponseOrigin = false; },
       {stmaXOR_Mapped_Address, stmaMapped_Address, stmaSource_Address, stmaSoftware}},
      {"no source address", [](auto& o) { o.BindingAttributes.SourceAddress = false; },
       {stmaXOR_Mapped_Address, stmaMapped_Address, stmaResponse_Origin, stmaSoftware}},
      {"no software", [](auto& o) { o.Software = false; },
       {stmaXOR_Mapped_Address, stmaMapped_Address, stmaResponse_Origin, stmaSource_Address}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TqynSTUNServer_Base server;
    c.Set(server.STUNOptions());
    TFakeUDPSocket s;
    server.UDPServerRead(nullptr, &s, BindingRequest());
    ASSERT_EQ(s.Sent.size(), 1u);
    TqynSTUN_Message r;
    ReadResponse(s.Sent[0], r);
    EXPECT_EQ(AttributeTypes(r), c.Expected);
  }
}

TEST_F(ServerFixture, IPv6SenderGetsFamily2AddressesXoredWithTransactionId) {
  TFakeUDPSocket s("2001:db8:0:0:0:0:0:42", 40000, "2001:db8:0:0:0:0:0:1", 3478, Id_IPv6);
  Feed(s, BindingRequest());
  ASSERT_EQ(s.Sent.size(), 1u);
  TqynSTUN_Message r;
  ReadResponse(s.Sent[0], r);
  const auto* xored = r.Attributes().GetAttribute(stmaXOR_Mapped_Address);
  ASSERT_NE(xored, nullptr);
  EXPECT_EQ(xored->Family(), 2);
  EXPECT_EQ(xored->Port(), 40000);
  uint8_t expect[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x42};
  uint8_t cookieAndId[16] = {0x21, 0x12, 0xA4, 0x42};
  std::copy(kTestTransactionId.begin(), kTestTransactionId.end(), cookieAndId + 4);
  // The wire value is the address XOR cookie and transaction id (XOR-MAPPED-ADDRESS at offset 20).
  const TqynBytes& out = s.Sent[0];
  ASSERT_GE(out.size(), 20u + 4 + 20);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(out[20 + 8 + i], expect[i] ^ cookieAndId[i]) << i;
  EXPECT_EQ(r.Attributes().GetAttribute(stmaMapped_Address)->Family(), 2);
  EXPECT_EQ(r.Attributes().GetAttribute(stmaResponse_Origin)->Family(), 2);
}

TEST_F(ServerFixture, OtherAddressListsConcreteNonRelayBindingsAfterTheFirst) {
  struct B {
    const char* IP;
    TIdPort Port;
    const char* Name;
    TIdIPVersion Version;
  };
  const std::vector<B> bindings = {{"198.51.100.7", 3478, "", Id_IPv4},     {"198.51.100.8", 3479, "", Id_IPv4},
                                   {"0.0.0.0", 3480, "", Id_IPv4},          {"198.51.100.9", 50000, "Relay_50000", Id_IPv4},
                                   {"2001:db8:0:0:0:0:0:9", 3481, "", Id_IPv6}, {"198.51.100.10", 3482, "x", Id_IPv4}};
  for (const auto& b : bindings) {
    TIdSocketHandle* h = Server.Bindings().Add();
    h->SetIP(b.IP);
    h->SetPort(b.Port);
    h->SetName(b.Name);
    h->SetIPVersion(b.Version);
  }
  Feed(BindingRequest());
  TqynSTUN_Message r;
  OnlyResponse(r);
  std::vector<std::string> others;
  for (const auto& a : r.Attributes())
    if (a->AttributeType() == stmaOther_Address) others.push_back(a->Address() + "/" + std::to_string(a->Port()) + "/" + std::to_string(a->Family()));
  EXPECT_EQ(others, (std::vector<std::string>{"198.51.100.8/3479/1", "2001:db8:0:0:0:0:0:9/3481/2", "198.51.100.10/3482/1"}));
  // OTHER-ADDRESS sits between SOURCE-ADDRESS and SOFTWARE.
  const auto types = AttributeTypes(r);
  ASSERT_EQ(types.size(), 8u);
  EXPECT_EQ(types[3], stmaSource_Address);
  EXPECT_EQ(types[4], stmaOther_Address);
  EXPECT_EQ(types[7], stmaSoftware);

  Server.STUNOptions().BindingAttributes.OtherAddress = false;
  Socket.Sent.clear();
  Feed(BindingRequest());
  TqynSTUN_Message r2;
  OnlyResponse(r2);
  EXPECT_EQ(r2.Attributes().GetAttribute(stmaOther_Address), nullptr);
}

// ---- Events ---------------------------------------------------------------------------------

TEST_F(ServerFixture, SuccessEventSeesRequestAndResponseAndMayChangeOrSuppressIt) {
  int calls = 0;
  bool accept = true;
  Server.OnSTUNRequestSuccess = [&](TqynComponent_Base* Sender, TqynSocketConnection* aSocket, TqynSTUN_Message* aRequest,
                                    TqynSTUN_Message* aResponse, bool& Accept) {
    ++calls;
    EXPECT_EQ(Sender, &Server);
    EXPECT_EQ(aSocket, &Socket);
    EXPECT_EQ(aRequest->Header().TransactionId(), kTestTransactionId);
    EXPECT_EQ(aResponse->Header().TransactionId(), kTestTransactionId);
    EXPECT_TRUE(Accept);
    aResponse->Attributes().Add<TqynSTUN_Attribute_LIFETIME>()->SetLifetime(7);
    Accept = accept;
  };
  Feed(BindingRequest());
  ASSERT_EQ(Socket.Sent.size(), 1u);
  TqynSTUN_Message r;
  ReadResponse(Socket.Sent[0], r);
  EXPECT_EQ(AttributeTypes(r).back(), stmaLifetime);

  accept = false;
  Feed(BindingRequest());
  EXPECT_EQ(Socket.Sent.size(), 1u);
  EXPECT_EQ(calls, 2);
  EXPECT_TRUE(Exceptions.empty());
}

TEST_F(ServerFixture, ErrorEventMaySuppressTheErrorResponse) {
  int calls = 0;
  Server.OnSTUNRequestError = [&](TqynComponent_Base*, TqynSocketConnection*, TqynSTUN_Message*, TqynSTUN_Message* aResponse,
                                  bool& Accept) {
    ++calls;
    EXPECT_NE(aResponse->Attributes().GetAttribute(stmaError_Code), nullptr);
    Accept = false;
  };
  Feed(BuildMessage(0x0011)); // Binding indication: never answered, so no error event either
  Feed(BuildMessage(0x0003)); // Allocate: 400 and an exception
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(Socket.Sent.empty());
  EXPECT_EQ(Exceptions, std::vector<std::string>{RS_StunErrorInvalidRequest});
}

TEST_F(ServerFixture, UDPServerExceptionReachesSTUNExceptionEvent) {
  Server.UDPServerException(nullptr, &Socket, Exception("boom"));
  EXPECT_EQ(Exceptions, std::vector<std::string>{"boom"});
}

// A descendant that ends every error response with the silent exception, as a TURN server does.
struct SilentErrorServer : TqynSTUNServer_Base {
  void SendErrorResponse(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, TqynStunError aError, TqynSTUN_Message* aResponse) override {
    TqynSTUNServer_Base::SendErrorResponse(aSocket, aRequest, aError, aResponse);
    throw TqynSTUNExceptionSilent(StunErrorReason(aError));
  }
};

TEST(StunServerSilent, SilentExceptionIsNotReported) {
  SilentErrorServer server;
  std::vector<std::string> exceptions;
  server.OnSTUNException = [&](TqynComponent_Base*, const Exception& E) { exceptions.push_back(E.Message()); };
  TFakeUDPSocket s;
  server.UDPServerRead(nullptr, &s, BuildMessage(0x0003));
  EXPECT_EQ(s.Sent.size(), 1u);
  EXPECT_TRUE(exceptions.empty());
}

// ---- Error responses and dropped datagrams -------------------------------------------------

TEST_F(ServerFixture, AlternateServerAnswers300WithAlternateAttributes) {
  auto& alt = Server.STUNOptions().BindingAttributes.AlternateServer;
  alt.Enabled = true;
  alt.IPAddress = "203.0.113.5";
  alt.Port = 3479;
  alt.Domain = "alt";
  Feed(BindingRequest());
  ASSERT_EQ(Socket.Sent.size(), 1u);
  EXPECT_EQ(TypeField(Socket.Sent[0]), 0x0111);
  TqynSTUN_Message r;
  ReadResponse(Socket.Sent[0], r);
  EXPECT_EQ(AttributeTypes(r), (std::vector<TqynStunMessageAttribute>{stmaError_Code, stmaAlternate_Server,
                                                                     stmaAlternate_Domain, stmaSoftware}));
  EXPECT_EQ(ErrorOf(r), std::make_pair(uint16_t{300}, std::string("Try Alternate")));
  const auto* server = r.Attributes().GetAttribute(stmaAlternate_Server);
  EXPECT_EQ(server->Address(), "203.0.113.5");
  EXPECT_EQ(server->Port(), 3479);
  EXPECT_EQ(server->Family(), 1);
  EXPECT_EQ(r.Attributes().GetAttribute<TqynSTUN_Attribute_ALTERNATE_DOMAIN>(stmaAlternate_Domain)->Domain(), "alt");
  EXPECT_EQ(r.Header().TransactionId(), kTestTransactionId);
  EXPECT_TRUE(Exceptions.empty());

  // Without a domain there is no ALTERNATE-DOMAIN; an IPv6 alternate has family 2.
  alt.Domain.clear();
  alt.IPAddress = "2001:db8:0:0:0:0:0:5";
  alt.Family = ipV6;
  Socket.Sent.clear();
  Feed(BindingRequest());
  TqynSTUN_Message r2;
  OnlyResponse(r2);
  EXPECT_EQ(AttributeTypes(r2), (std::vector<TqynStunMessageAttribute>{stmaError_Code, stmaAlternate_Server, stmaSoftware}));
  EXPECT_EQ(r2.Attributes().GetAttribute(stmaAlternate_Server)->Family(), 2);
}

TEST_F(ServerFixture, RequestsTheServerDoesNotServe) {
  struct Case {
    const char* Name;
    uint16_t Type;
    uint16_t ResponseType;
    bool Exception;
  };
  const std::vector<Case> cases = {
      {"Allocate request", 0x0003, 0x0113, true},
      {"Refresh request", 0x0004, 0x0114, true},
      {"ChannelBind request", 0x0009, 0x0119, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    Socket.Sent.clear();
    Exceptions.clear();
    Feed(BuildMessage(c.Type));
    ASSERT_EQ(Socket.Sent.size(), 1u);
    EXPECT_EQ(TypeField(Socket.Sent[0]), c.ResponseType);
    TqynSTUN_Message r;
    ReadResponse(Socket.Sent[0], r);
    EXPECT_EQ(ErrorOf(r), std::make_pair(uint16_t{400}, std::string("Invalid Request")));
    EXPECT_EQ(AttributeTypes(r), (std::vector<TqynStunMessageAttribute>{stmaError_Code, stmaSoftware}));
    EXPECT_EQ(r.Header().TransactionId(), kTestTransactionId);
    EXPECT_EQ(r.Header().MagicCookie(), QYN_STUN_MAGIC_COOKIE);
    EXPECT_EQ(Exceptions, c.Exception ? std::vector<std::string>{"Invalid Request"} : std::vector<std::string>{});
  }
}

TEST_F(ServerFixture, DatagramsDroppedWithoutResponse) {
  struct Case {
    const char* Name;
    TqynBytes Bytes;
    std::vector<std::string> Exceptions;
  };
  TqynBytes wrongFingerprint = BindingRequest([](TqynSTUN_Message& m) { m.SetFingerprint(stfsFingerprintValid); });
  wrongFingerprint.back() ^= 1;
  TqynBytes badICMP = BindingRequest([](TqynSTUN_Message& m) { m.Attributes().Add<TqynSTUN_Attribute_ICMP>(); });
  badICMP[20 + 4] = 1; // reserved bits of ICMP not zero
  const TqynBytes binding = BindingRequest();
  const std::vector<Case> cases = {
      {"empty", {}, {}},
      {"19 bytes", TqynBytes(binding.begin(), binding.begin() + 19), {}},
      {"success response", BuildMessage(0x0101), {}},
      {"error response", BuildMessage(0x0111), {}},
      // Indications are never answered (the 400 they used to get went to any forged source).
      {"Binding indication", BuildMessage(0x0011), {}},
      {"Send indication", BuildMessage(0x0016), {}},
      {"wrong fingerprint", wrongFingerprint, {"Invalid Fingerprint"}},
      {"unreadable ICMP", badICMP, {"Invalid Attribute: ICMP Format"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    Exceptions.clear();
    Feed(c.Bytes);
    EXPECT_TRUE(Socket.Sent.empty());
    EXPECT_EQ(Exceptions, c.Exceptions);
  }
}

// A datagram that is not a STUN message gets no answer and no event: its source address may be
// forged, and the 400 it used to get made the server a reflector.
TEST_F(ServerFixture, NonSTUNDatagramsGetNoAnswer) {
  for (uint8_t first : {0x40, 0x4F, 0x7F, 0x80, 0xFF}) {
    SCOPED_TRACE(static_cast<int>(first));
    TqynBytes datagram = BindingRequest();
    datagram[0] = first;
    Feed(datagram);
  }
  Feed(TqynBytes(20, 0x40));
  Feed(TqynBytes(20, 0xFF));
  TqynBytes longer = BindingRequest();
  longer.push_back(0); // the length field no longer counts the bytes
  Feed(longer);
  EXPECT_TRUE(Socket.Sent.empty());
  EXPECT_TRUE(Exceptions.empty());
}

TEST(StunErrorTable, CodesAndReasons) {
  const std::vector<std::pair<uint16_t, std::string>> expected = {
      {400, "Invalid Request"},  {401, "Unauthorized"},          {420, "Unknown Attribute"},
      {438, "Stale Nonce"},      {300, "Try Alternate"},         {403, "Forbidden"},
      {437, "Allocation Mismatch"}, {440, "Address Family not Supported"}, {441, "Wrong Credentials"},
      {442, "Unsupported Transport Protocol"}, {443, "Peer Address Family Mismatch"},
      {486, "Allocation Quota Reached"}, {508, "Insufficient Capacity"}};
  for (size_t i = 0; i < expected.size(); ++i) {
    const auto e = static_cast<TqynStunError>(i);
    EXPECT_EQ(StunErrorCode(e), expected[i].first) << i;
    EXPECT_EQ(StunErrorReason(e), expected[i].second) << i;
  }
  EXPECT_EQ(stueInsufficientCapacity, 12);
  EXPECT_EQ(StunErrorCode(static_cast<TqynStunError>(200)), 400);
}

TEST(StunServerErrorResponses, EveryErrorSendsItsCodeAndReason) {
  // A descendant may send any of the errors through SendErrorResponse.
  struct Sender : TqynSTUNServer_Base {
    TqynStunError Error = stueInvalidRequest;
    void ProcessRequest(TqynUDPSocket* aSocket, TqynSTUN_Message* aRequest, TqynSTUN_Message* aResponse) override {
      SendErrorResponse(aSocket, aRequest, Error, aResponse);
    }
  } server;
  for (int i = 0; i <= stueInsufficientCapacity; ++i) {
    server.Error = static_cast<TqynStunError>(i);
    TFakeUDPSocket s;
    server.UDPServerRead(nullptr, &s, BuildMessage(0x0003));
    ASSERT_EQ(s.Sent.size(), 1u);
    EXPECT_EQ(TypeField(s.Sent[0]), 0x0113);
    TqynSTUN_Message r;
    ReadResponse(s.Sent[0], r);
    EXPECT_EQ(ErrorOf(r), std::make_pair(StunErrorCode(server.Error), std::string(StunErrorReason(server.Error))));
    // ALTERNATE-SERVER only with the option enabled.
    EXPECT_EQ(r.Attributes().GetAttribute(stmaAlternate_Server), nullptr);
  }
}

// ---- Hostile input --------------------------------------------------------------------------

// Every datagram goes through the entry without a crash; at most one response each, and every
// response is a readable STUN message.
TEST(StunServerHostile, TableOfHostileDatagrams) {
  TqynSTUNServer_Base server;
  server.STUNOptions().Authentication.Enabled = true;
  server.STUNOptions().Authentication.LongTermCredentials.Enabled = true;
  int exceptions = 0;
  server.OnSTUNException = [&](TqynComponent_Base*, const Exception&) { ++exceptions; };
  server.OnSTUNRequestAuthorization = [](TqynComponent_Base*, TqynSTUN_Message*, const std::string&, const std::string&,
                                         std::string& Password) { Password = "pw"; };

  const TqynBytes header = Hex("0001 0000 2112A442 000102030405060708090A0B");
  auto with = [&](uint16_t aLength, const std::string& aAttributes) {
    TqynBytes b = header;
    b[2] = static_cast<uint8_t>(aLength >> 8);
    b[3] = static_cast<uint8_t>(aLength);
    const TqynBytes a = Hex(aAttributes);
    b.insert(b.end(), a.begin(), a.end());
    return b;
  };
  const std::vector<TqynBytes> table = {
      with(0xFFFF, ""),                                  // length beyond the datagram
      with(4, "0020 FFFF"),                              // attribute length beyond the datagram
      with(8, "0020 0004 0001 0000"),                    // address value cut short
      with(12, "0020 0008 0009 1234 01020304"),          // unknown family
      with(24, "0008 0014 00000000000000000000000000000000 00000000"), // MI alone
      with(8, "0008 0002 0000 0000"),                    // short MI
      with(8, "8028 0002 0000 0000"),                    // short FINGERPRINT
      with(4, "8028 0000"),                              // empty FINGERPRINT
      with(8, "0009 0003 000000 00"),                    // short ERROR-CODE
      with(8, "000A 0003 001D00 00"),                    // odd UNKNOWN-ATTRIBUTES
      with(8, "001C 0004 00000000"),                     // short MI-SHA256
      with(8, "0015 0004 41424344"),                     // NONCE alone
      with(16, "0006 0001 41000000 0014 0001 42000000"), // user and realm, no MI
      with(4, "FFFF 0000"),                              // unknown codes only
      with(4, "8004 0008"),                              // ICMP cut
      with(8, "0013 0004 00000000"),                     // DATA in a Binding
      with(12, "0024 0008 0102030405060708"),            // long PRIORITY
      with(8, "001D 0004 00010000"),                     // PASSWORD-ALGORITHM
      with(8, "001E 0004 00000000"),                     // USERHASH
      with(4, "0000 0000"),                              // zero code
      TqynBytes(20, 0),                                  // all zero
      TqynBytes(8192, 0xFF),                             // non-STUN, long
      Hex("00 01 00 00 21 12 A4 42 00 00 00 00 00 00 00 00 00 00 00 00 00"), // one trailing byte
      with(2, "0020"),                                   // half a frame header
  };
  for (size_t i = 0; i < table.size(); ++i) {
    SCOPED_TRACE(i);
    TFakeUDPSocket s;
    server.UDPServerRead(nullptr, &s, table[i]);
    EXPECT_LE(s.Sent.size(), 1u);
    for (const auto& out : s.Sent) {
      TqynSTUN_Message r;
      EXPECT_NO_THROW(ReadResponse(out, r));
      EXPECT_TRUE(r.Header().MessageType_Class() == stmcResponseSuccess || r.Header().MessageType_Class() == stmcResponseError);
    }
  }
}

// Random frames after a STUN header, seeded so that a failure repeats.
TEST(StunServerHostile, RandomDatagrams) {
  TqynSTUNServer_Base server;
  server.STUNOptions().Authentication.Enabled = true;
  server.STUNOptions().Authentication.LongTermCredentials.Enabled = true;
  server.STUNOptions().Fingerprint = true;
  server.OnSTUNException = [](TqynComponent_Base*, const Exception&) {};
  std::mt19937 rng(20240611);
  const uint16_t codes[] = {0x0001, 0x0006, 0x0008, 0x0009, 0x000A, 0x0014, 0x0015, 0x0020, 0x001C, 0x001D,
                            0x001E, 0x8022, 0x8023, 0x8028, 0x8004, 0x0013, 0x0017, 0x0019, 0x0022, 0x7777};
  TFakeUDPSocket s;
  for (int n = 0; n < 20000; ++n) {
    TqynBytes b = {static_cast<uint8_t>(rng() % 4), static_cast<uint8_t>(rng()), 0, 0, 0x21, 0x12, 0xA4, 0x42};
    for (int i = 0; i < 12; ++i) b.push_back(static_cast<uint8_t>(rng()));
    const int frames = static_cast<int>(rng() % 6);
    for (int f = 0; f < frames; ++f) {
      const uint16_t code = codes[rng() % std::size(codes)];
      const uint16_t len = static_cast<uint16_t>(rng() % 3 == 0 ? rng() : rng() % 40);
      b.push_back(static_cast<uint8_t>(code >> 8));
      b.push_back(static_cast<uint8_t>(code));
      b.push_back(static_cast<uint8_t>(len >> 8));
      b.push_back(static_cast<uint8_t>(len));
      const size_t body = std::min<size_t>(len, rng() % 48);
      for (size_t i = 0; i < body; ++i) b.push_back(static_cast<uint8_t>(rng()));
    }
    const uint16_t length = static_cast<uint16_t>(rng() % 2 ? b.size() - 20 : rng());
    b[2] = static_cast<uint8_t>(length >> 8);
    b[3] = static_cast<uint8_t>(length);
    if (rng() % 8 == 0) b.resize(rng() % b.size());
    const size_t before = s.Sent.size();
    server.UDPServerRead(nullptr, &s, b);
    ASSERT_LE(s.Sent.size(), before + 1);
  }
  SUCCEED() << s.Sent.size() << " responses";
}

} // namespace
