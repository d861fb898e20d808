// qyn-test-labels: unit
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <typeinfo>
#include <string>

#include "qynMessages.h"
#include "qynP2P_STUN_Classes.h"

namespace {

TqynBytes Hex(const std::string& aText) {
  TqynBytes out;
  int hi = -1;
  for (char c : aText) {
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else continue;
    if (hi < 0) hi = v;
    else {
      out.push_back(static_cast<uint8_t>(hi << 4 | v));
      hi = -1;
    }
  }
  return out;
}

TqynBytes B(const std::string& s) { return TqynBytes(s.begin(), s.end()); }

const TqynBytes kTid = Hex("b7e7a701bc34d686fa87dfae");

// A message with the given attributes, written without integrity or fingerprint.
TqynBytes WriteMessage(TqynSTUN_Message& aMessage) {
  aMessage.Header().SetMessageType_Method(stmmBinding);
  aMessage.Header().SetMessageType_Class(stmcResponseSuccess);
  aMessage.Header().SetMagicCookie(QYN_STUN_MAGIC_COOKIE);
  aMessage.Header().SetTransactionId(kTid);
  aMessage.Header().SetMessageLength(static_cast<uint16_t>(aMessage.ComputeMessageLength()));
  return aMessage.Write();
}

// Bytes of one attribute's value as written (frame stripped, padding dropped).
TqynBytes ValueOf(const TqynSTUN_Attribute& a) {
  const TqynBytes frame = a.Write();
  const size_t len = QynReadUInt16BE(frame, 2);
  return TqynBytes(frame.begin() + 4, frame.begin() + 4 + static_cast<std::ptrdiff_t>(len));
}

template <class T> T* As(TqynSTUN_Attribute* a) {
  T* t = dynamic_cast<T*>(a);
  EXPECT_NE(t, nullptr);
  return t;
}

std::string ExceptionText(const std::function<void()>& aCall) {
  try {
    aCall();
  } catch (const Exception& e) {
    return e.Message();
  }
  return "(no exception)";
}

} // namespace

// ---- Value formats --------------------------------------------------------------------------

TEST(StunAttributeValues, XorMappedAddressIPv4) {
  TqynSTUN_Attribute_XOR_MAPPED_ADDRESS a;
  a.SetFamily(1);
  a.SetPort(5000);
  a.SetAddress("192.0.2.1");
  EXPECT_EQ(ValueOf(a), Hex("0001329A E112A643"));

  const TqynBytes frame = a.Write();
  TqynSTUN_Attribute_XOR_MAPPED_ADDRESS r;
  int32_t offset = 0;
  r.Read(frame, offset);
  EXPECT_EQ(offset, 12);
  EXPECT_EQ(r.Family(), 1);
  EXPECT_EQ(r.Port(), 5000);
  EXPECT_EQ(r.Address(), "192.0.2.1");
}

TEST(StunAttributeValues, XorMappedAddressIPv6UsesTheMessageTransactionId) {
  TqynSTUN_Message m;
  auto* a = m.Attributes().Add<TqynSTUN_Attribute_XOR_MAPPED_ADDRESS>();
  a->SetFamily(2);
  a->SetPort(32853);
  a->SetAddress("2001:DB8:1234:5678:11:2233:4455:6677");
  a->SetTransactionId(kTid);
  const TqynBytes bytes = WriteMessage(m);
  // The RFC 5769 IPv6 sample carries the same address, port and transaction id.
  EXPECT_EQ(TqynBytes(bytes.begin() + 24, bytes.begin() + 44), Hex("0002a147 0113a9fa a5d3f179 bc25f4b5 bed2b9d9"));

  TqynSTUN_Message r;
  r.Read(bytes);
  auto* x = r.Attributes().GetAttribute<TqynSTUN_Attribute_XOR_MAPPED_ADDRESS>(stmaXOR_Mapped_Address);
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(x->Family(), 2);
  EXPECT_EQ(x->Port(), 32853);
  EXPECT_EQ(x->Address(), "2001:db8:1234:5678:11:2233:4455:6677");
  EXPECT_EQ(x->TransactionId(), kTid);
}

TEST(StunAttributeValues, MappedAddress) {
  TqynSTUN_Attribute_MAPPED_ADDRESS a;
  a.SetFamily(1);
  a.SetPort(3478);
  a.SetAddress("10.0.0.1");
  EXPECT_EQ(ValueOf(a), Hex("00010D96 0A000001"));
  TqynSTUN_Attribute_MAPPED_ADDRESS v6;
  v6.SetFamily(2);
  v6.SetPort(1);
  v6.SetAddress("0:0:0:0:0:0:0:1");
  EXPECT_EQ(ValueOf(v6), Hex("00020001 00000000 00000000 00000000 00000001"));
  EXPECT_EQ(v6.PaddedValueLength(), 20u);
}

TEST(StunAttributeValues, AddressTextForms) {
  struct Row {
    uint16_t Family;
    const char* Text;
    const char* Value; // address bytes, or nullptr for a conversion error
  };
  const Row rows[] = {
      {1, "192.0.2.1", "c0000201"},
      {1, "0.0.0.0", "00000000"},
      {1, "256.1.2.259", nullptr}, // numbers above 255 are refused, as the socket layer refuses them
      {1, "300.1.1.1", nullptr},
      {1, "01.2.3.4", nullptr},
      {1, "1.2.3", nullptr},
      {1, "1.2.3.4.5", nullptr},
      {1, "1..3.4", nullptr},
      {1, " 1.2.3.4", nullptr},
      {1, "1.2.3.4 ", nullptr},
      {1, "-1.2.3.4", nullptr},
      {1, "99999999999.2.3.4", nullptr},
      {1, "", nullptr},
      {1, "::1", nullptr},
      {2, "2001:db8:0:0:0:0:0:1", "20010db8000000000000000000000001"},
      {2, "ABCD:EF01:2345:6789:abcd:ef01:2345:6789", "abcdef0123456789abcdef0123456789"},
      {2, "0:0:0:0:0:0:0:0", "00000000000000000000000000000000"},
      {2, "::", "00000000000000000000000000000000"},
      {2, "::1", "00000000000000000000000000000001"},
      {2, "1::", "00010000000000000000000000000000"},
      {2, "2001:db8::8:800:200c:417a", "20010db80000000000080800200c417a"},
      {2, "::ffff:192.0.2.1", "00000000000000000000ffffc0000201"},
      {2, "1:2:3:4:5:6:1.2.3.4", "00010002000300040005000601020304"},
      {2, "1:2:3:4:5:6:7", nullptr},
      {2, "1:2:3:4:5:6:7:8:9", nullptr},
      {2, "1:2:3:4:5:6:7:8::", nullptr}, // "::" must stand for at least one group
      {2, "1::2::3", nullptr},
      {2, ":1:2:3:4:5:6:7", nullptr},
      {2, "1:2:3:4:5:6:7:", nullptr},
      {2, "12345::1", nullptr},
      {2, "g::1", nullptr},
      {2, "::ffff:256.0.0.1", nullptr},
      {2, "::ffff:1.2.3", nullptr},
      {2, "1:2:3:4:5:6:7:1.2.3.4", nullptr},
      {2, "fe80::1%eth0", nullptr},
      {2, "", nullptr},
      {2, "192.0.2.1", nullptr},
  };
  for (const Row& r : rows) {
    TqynSTUN_Attribute_MAPPED_ADDRESS a;
    a.SetFamily(r.Family);
    a.SetPort(0x0102);
    a.SetAddress(r.Text);
    if (r.Value) {
      TqynBytes expected = Hex("0000 0102");
      expected[1] = static_cast<uint8_t>(r.Family);
      const TqynBytes addr = Hex(r.Value);
      expected.insert(expected.end(), addr.begin(), addr.end());
      TqynBytes value;
      ASSERT_NO_THROW(value = ValueOf(a)) << r.Text;
      EXPECT_EQ(value, expected) << r.Text;
    } else {
      const std::string msg = ExceptionText([&] { (void)a.Write(); });
      EXPECT_EQ(msg, QynFormat(r.Family == 1 ? RS_InvalidIPv4Text : RS_InvalidIPv6Text, std::string(r.Text))) << r.Text;
    }
  }
}

TEST(StunAttributeValues, AddressFamilyOtherThanOneOrTwoCannotBeWritten) {
  for (uint16_t family : {0, 3, 0x0101}) {
    TqynSTUN_Attribute_XOR_PEER_ADDRESS a;
    a.SetFamily(family);
    a.SetAddress("1.2.3.4");
    EXPECT_EQ(ExceptionText([&] { (void)a.Write(); }), QynFormat(RS_InvalidAddressFamily, "XOR-PEER-ADDRESS", int{family}));
  }
  // A message that holds such an attribute raises from Write and writes nothing.
  TqynSTUN_Message m;
  m.Attributes().Add<TqynSTUN_Attribute_MAPPED_ADDRESS>()->SetFamily(7);
  EXPECT_THROW(WriteMessage(m), Exception);
}

TEST(StunAttributeValues, AddressReadWithAnotherFamilyOrShortValue) {
  // family 3: no address; family 1 with a 4-byte value: the address bytes are missing and the
  // text stays empty; the next attribute is still read at its place.
  TqynBytes msg = Hex("0101 0000 2112A442 b7e7a701bc34d686fa87dfae"
                      "0001 0008 0003 1234 01020304"
                      "0020 0004 0001 1234"
                      "000D 0004 00000258");
  msg[3] = static_cast<uint8_t>(msg.size() - 20);
  TqynSTUN_Message m;
  m.Read(msg);
  ASSERT_EQ(m.Attributes().Count(), 3u);
  EXPECT_EQ(m.Attributes()[0]->Family(), 3);
  EXPECT_EQ(m.Attributes()[0]->Port(), 0x1234);
  EXPECT_EQ(m.Attributes()[0]->Address(), "");
  EXPECT_EQ(m.Attributes()[1]->Family(), 1);
  EXPECT_EQ(m.Attributes()[1]->Address(), "");
  EXPECT_EQ(As<TqynSTUN_Attribute_LIFETIME>(m.Attributes()[2])->Lifetime(), 600u);
}

TEST(StunAttributeValues, ErrorCode) {
  TqynSTUN_Attribute_ERROR_CODE e;
  e.SetCode(401);
  e.SetReason("Unauthorized");
  const TqynBytes frame = e.Write();
  TqynBytes expected = Hex("0009 0010 00000401");
  const TqynBytes reason = B("Unauthorized");
  expected.insert(expected.end(), reason.begin(), reason.end());
  EXPECT_EQ(frame, expected); // value length 16, no padding

  TqynSTUN_Attribute_ERROR_CODE e438;
  e438.SetCode(438);
  EXPECT_EQ(ValueOf(e438), Hex("00000426"));

  TqynSTUN_Attribute_ERROR_CODE e420;
  e420.SetCode(420);
  const TqynBytes f420 = e420.Write();
  EXPECT_EQ(QynReadUInt16BE(f420, 2), 4);
  TqynSTUN_Attribute_ERROR_CODE r;
  int32_t offset = 0;
  r.Read(f420, offset);
  EXPECT_EQ(r.Code(), 420);
  EXPECT_EQ(r.Reason(), "");
  EXPECT_EQ(offset, 8);
}

TEST(StunAttributeValues, UnknownAttributes) {
  TqynSTUN_Attribute_UNKNOWN_ATTRIBUTES u;
  u.SetUnknownAttributes({stmaUserhash, stmaPassword_Algorithm});
  const TqynBytes frame = u.Write();
  EXPECT_EQ(frame, Hex("000A 0004 001D 001E"));

  // Three codes, one of them unknown to the codec: three members.
  const TqynBytes three = Hex("000A 0006 0006 FFF0 8028 0000");
  TqynSTUN_Attribute_UNKNOWN_ATTRIBUTES r;
  int32_t offset = 0;
  r.Read(three, offset);
  EXPECT_EQ(offset, 12);
  EXPECT_EQ(r.UnknownAttributes(), (TqynStunMessageAttributes{stmaUsername, stmaMapped_None, stmaFingerprint}));

  // An odd number of members leaves a 2-byte tail that the frame pads.
  TqynSTUN_Attribute_UNKNOWN_ATTRIBUTES odd;
  odd.SetUnknownAttributes({stmaData});
  EXPECT_EQ(odd.Write(), Hex("000A 0002 0013 0000"));
}

TEST(StunAttributeValues, FixedLayouts) {
  TqynSTUN_Attribute_EVEN_PORT even;
  even.SetEven(true);
  EXPECT_EQ(even.Write(), Hex("0018 0001 80000000"));
  TqynSTUN_Attribute_EVEN_PORT evenRead;
  int32_t offset = 0;
  evenRead.Read(even.Write(), offset);
  EXPECT_TRUE(evenRead.Even());
  EXPECT_EQ(offset, 8);

  TqynSTUN_Attribute_REQUESTED_TRANSPORT rt;
  EXPECT_EQ(rt.Write(), Hex("0019 0004 11000000"));
  TqynSTUN_Attribute_CHANNEL_NUMBER ch;
  ch.SetChannel(0x4001);
  EXPECT_EQ(ch.Write(), Hex("000C 0004 40010000"));
  TqynSTUN_Attribute_REQUESTED_ADDRESS_FAMILY raf;
  EXPECT_EQ(raf.Family(), 1);
  raf.SetFamily(2);
  EXPECT_EQ(raf.Write(), Hex("0017 0004 02000000"));
  TqynSTUN_Attribute_ADDITIONAL_ADDRESS_FAMILY aaf;
  aaf.SetFamily(2);
  EXPECT_EQ(aaf.Write(), Hex("8000 0004 02000000"));
  TqynSTUN_Attribute_ADDRESS_ERROR_CODE aec;
  aec.SetFamily(2);
  aec.SetCode(440);
  aec.SetReason("x");
  EXPECT_EQ(aec.Write(), Hex("8001 0005 02000428 78000000"));
  TqynSTUN_Attribute_ICMP icmp;
  icmp.SetICMPType(3);
  icmp.SetICMPCode(0x0104);
  icmp.SetErrorData(0xDEADBEEF);
  EXPECT_EQ(icmp.Write(), Hex("8004 0008 0000 03 04 DEADBEEF"));
  TqynSTUN_Attribute_DONT_FRAGMENT df;
  EXPECT_EQ(df.Write(), Hex("001A 0000"));
  TqynSTUN_Attribute_PASSWORD_ALGORITHMS pas;
  EXPECT_EQ(pas.Write(), Hex("8002 0000"));
  TqynSTUN_Attribute_SOFTWARE sw;
  sw.SetSoftware(RS_SoftwareName);
  EXPECT_EQ(sw.Write().size(), 4u + 16u); // 13 text bytes padded to 16
  EXPECT_EQ(QynReadUInt16BE(sw.Write(), 2), 13);
}

TEST(StunAttributeValues, ValueLongerThanTheLengthFieldCanStateIsRefused) {
  TqynSTUN_Attribute_DATA d;
  d.SetData(TqynBytes(0xFFFF, 1));
  EXPECT_EQ(d.Write().size(), 4u + 0x10000u);
  d.SetData(TqynBytes(0x10000, 1));
  EXPECT_EQ(ExceptionText([&] { (void)d.Write(); }), QynFormat(RS_AttributeValueTooLong, "DATA", 0x10000));
  TqynSTUN_Attribute_USERNAME u;
  u.SetUsername(std::string(70000, 'u'));
  TqynBytes out = {1, 2, 3};
  EXPECT_THROW(u.Write(out), Exception);
  EXPECT_EQ(out, (TqynBytes{1, 2, 3})); // nothing half-written
}

TEST(StunAttributeValues, ReaderSkipsTheWholeValueAsTheLengthFieldGivesIt) {
  // A LIFETIME with an 8-byte value, a CHANGE-REQUEST with a 4-byte value, a PRIORITY with a 6-byte
  // value: every reader leaves the offset at the end of its value, and the frame adds padding.
  TqynBytes msg = Hex("0001 0000 2112A442 b7e7a701bc34d686fa87dfae"
                      "000D 0008 00000258 FFFFFFFF"
                      "0003 0004 00000006"
                      "0024 0006 01020304 0506 0000"
                      "0006 0003 616263 00");
  msg[3] = static_cast<uint8_t>(msg.size() - 20);
  TqynSTUN_Message m;
  m.Read(msg);
  ASSERT_EQ(m.Attributes().Count(), 4u);
  EXPECT_EQ(As<TqynSTUN_Attribute_LIFETIME>(m.Attributes()[0])->Lifetime(), 600u);
  EXPECT_EQ(m.Attributes()[1]->AttributeType(), stmaChange_Request);
  EXPECT_EQ(m.Attributes()[1]->AttributeLength(), 4);
  EXPECT_EQ(As<TqynSTUN_Attribute_PRIORITY>(m.Attributes()[2])->Priority(), 0x01020304u);
  EXPECT_EQ(As<TqynSTUN_Attribute_USERNAME>(m.Attributes()[3])->Username(), "abc");
}

TEST(StunAttributeValues, IcmpWithReservedBitsSetEndsTheRead) {
  TqynBytes msg = Hex("0117 0000 2112A442 b7e7a701bc34d686fa87dfae"
                      "8004 0008 0001 0300 00000000");
  msg[3] = static_cast<uint8_t>(msg.size() - 20);
  TqynSTUN_Message m;
  EXPECT_EQ(ExceptionText([&] { m.Read(msg); }), "Invalid Attribute: ICMP Format");
  msg[25] = 0; // reserved bits cleared
  ASSERT_NO_THROW(m.Read(msg));
  auto* icmp = m.Attributes().GetAttribute<TqynSTUN_Attribute_ICMP>(stmaICMP);
  ASSERT_NE(icmp, nullptr);
  EXPECT_EQ(icmp->ICMPType(), 3);
}

// A frame must fit the message; a value shorter than what its class interprets reads what is
// there.
TEST(StunAttributeValues, ShortValuesInsideTheirFrame) {
  TqynSTUN_Message m;
  // A 200-byte USERNAME of which 5 are there, and a type code without a length: refused whole.
  EXPECT_THROW(m.Read(Hex("0001 000C 2112A442 b7e7a701bc34d686fa87dfae 0006 00C8 6162636465 000000")), Exception);
  EXPECT_THROW(m.Read(Hex("0001 0004 2112A442 b7e7a701bc34d686fa87dfae 0013 0000 0006 00C8")), Exception);

  // A LIFETIME of 2 bytes reads as 0; a token keeps the bytes that are there; DATA may be empty.
  m.Read(Hex("0001 0008 2112A442 b7e7a701bc34d686fa87dfae 000D 0002 0102 0000"));
  EXPECT_EQ(As<TqynSTUN_Attribute_LIFETIME>(m.Attributes()[0])->Lifetime(), 0u);
  m.Read(Hex("0001 0008 2112A442 b7e7a701bc34d686fa87dfae 0022 0003 010203 00"));
  EXPECT_EQ(As<TqynSTUN_Attribute_RESERVATION_TOKEN>(m.Attributes()[0])->Token(), (TqynBytes{1, 2, 3}));
  m.Read(Hex("0001 0004 2112A442 b7e7a701bc34d686fa87dfae 0013 0000"));
  ASSERT_EQ(m.Attributes().Count(), 1u);
  EXPECT_TRUE(As<TqynSTUN_Attribute_DATA>(m.Attributes()[0])->Data().empty());
}

// ---- Round trip of every class ----------------------------------------------------------------

namespace {

struct RoundTrip {
  const char* Name;
  TqynStunMessageAttribute Type;
  std::function<void(TqynSTUN_Attribute*)> Fill;
  std::function<void(TqynSTUN_Attribute*)> Check;
};

void FillAddress(TqynSTUN_Attribute* a, uint16_t aFamily, const char* aAddress, uint16_t aPort) {
  a->SetFamily(aFamily);
  a->SetAddress(aAddress);
  a->SetPort(aPort);
  if (auto* x = dynamic_cast<TqynSTUN_Attribute_XOR_MAPPED_ADDRESS*>(a)) x->SetTransactionId(kTid);
}

std::function<void(TqynSTUN_Attribute*)> CheckAddress(uint16_t aFamily, const char* aAddress, uint16_t aPort) {
  return [=](TqynSTUN_Attribute* a) {
    EXPECT_EQ(a->Family(), aFamily);
    EXPECT_EQ(a->Address(), aAddress);
    EXPECT_EQ(a->Port(), aPort);
  };
}

template <class T, class V, class G, class S>
RoundTrip Value(const char* aName, TqynStunMessageAttribute aType, V aValue, S aSetter, G aGetter) {
  return {aName, aType, [=](TqynSTUN_Attribute* a) { (As<T>(a)->*aSetter)(aValue); },
          [=](TqynSTUN_Attribute* a) { EXPECT_EQ((As<T>(a)->*aGetter)(), aValue); }};
}

RoundTrip Empty(const char* aName, TqynStunMessageAttribute aType) {
  return {aName, aType, [](TqynSTUN_Attribute*) {}, [](TqynSTUN_Attribute* a) { EXPECT_EQ(a->AttributeLength(), 0); }};
}

std::vector<RoundTrip> RoundTrips() {
  using S = const std::string&;
  using Bs = const TqynBytes&;
  std::vector<RoundTrip> rows;
  rows.push_back({"MAPPED-ADDRESS v4", stmaMapped_Address, [](auto* a) { FillAddress(a, 1, "203.0.113.9", 40000); },
                  CheckAddress(1, "203.0.113.9", 40000)});
  rows.push_back({"MAPPED-ADDRESS v6", stmaMapped_Address, [](auto* a) { FillAddress(a, 2, "2001:db8::ff00:42:8329", 1); },
                  CheckAddress(2, "2001:db8:0:0:0:ff00:42:8329", 1)});
  rows.push_back({"XOR-MAPPED-ADDRESS v4", stmaXOR_Mapped_Address, [](auto* a) { FillAddress(a, 1, "255.255.255.255", 65535); },
                  CheckAddress(1, "255.255.255.255", 65535)});
  rows.push_back({"XOR-MAPPED-ADDRESS v6", stmaXOR_Mapped_Address, [](auto* a) { FillAddress(a, 2, "fe80:0:0:0:1:2:3:4", 9); },
                  CheckAddress(2, "fe80:0:0:0:1:2:3:4", 9)});
  rows.push_back({"ALTERNATE-SERVER", stmaAlternate_Server, [](auto* a) { FillAddress(a, 1, "198.51.100.7", 3479); },
                  CheckAddress(1, "198.51.100.7", 3479)});
  rows.push_back({"RESPONSE-ORIGIN", stmaResponse_Origin, [](auto* a) { FillAddress(a, 2, "::1", 3478); },
                  CheckAddress(2, "0:0:0:0:0:0:0:1", 3478)});
  rows.push_back({"OTHER-ADDRESS", stmaOther_Address, [](auto* a) { FillAddress(a, 1, "127.0.0.1", 3479); },
                  CheckAddress(1, "127.0.0.1", 3479)});
  rows.push_back({"SOURCE-ADDRESS", stmaSource_Address, [](auto* a) { FillAddress(a, 1, "10.1.2.3", 1); },
                  CheckAddress(1, "10.1.2.3", 1)});
  rows.push_back({"CHANGED-ADDRESS", stmaChanged_Address, [](auto* a) { FillAddress(a, 1, "10.1.2.4", 2); },
                  CheckAddress(1, "10.1.2.4", 2)});
  rows.push_back({"XOR-PEER-ADDRESS", stmaXOR_Peer_Address, [](auto* a) { FillAddress(a, 2, "2001:db8:1:2:3:4:5:6", 50000); },
                  CheckAddress(2, "2001:db8:1:2:3:4:5:6", 50000)});
  rows.push_back({"XOR-RELAYED-ADDRESS", stmaXOR_Relayed_Address, [](auto* a) { FillAddress(a, 1, "192.0.2.15", 49152); },
                  CheckAddress(1, "192.0.2.15", 49152)});
  rows.push_back(Value<TqynSTUN_Attribute_USERNAME>("USERNAME", stmaUsername, std::string("\xE3\x83\x9E user"),
                                                    static_cast<void (TqynSTUN_Attribute_USERNAME::*)(S)>(&TqynSTUN_Attribute_USERNAME::SetUsername),
                                                    &TqynSTUN_Attribute_USERNAME::Username));
  rows.push_back(Value<TqynSTUN_Attribute_REALM>("REALM", stmaRealm, std::string("example.org"), &TqynSTUN_Attribute_REALM::SetRealm,
                                                 &TqynSTUN_Attribute_REALM::Realm));
  rows.push_back(Value<TqynSTUN_Attribute_NONCE>("NONCE", stmaNonce, std::string("f//499k954d6OL34oL9FSTvy64sA"),
                                                 &TqynSTUN_Attribute_NONCE::SetNonce, &TqynSTUN_Attribute_NONCE::Nonce));
  rows.push_back(Value<TqynSTUN_Attribute_SOFTWARE>("SOFTWARE", stmaSoftware, std::string(RS_SoftwareName),
                                                    &TqynSTUN_Attribute_SOFTWARE::SetSoftware, &TqynSTUN_Attribute_SOFTWARE::Software));
  rows.push_back(Value<TqynSTUN_Attribute_ALTERNATE_DOMAIN>("ALTERNATE-DOMAIN", stmaAlternate_Domain, std::string("turn.example.net"),
                                                            &TqynSTUN_Attribute_ALTERNATE_DOMAIN::SetDomain,
                                                            &TqynSTUN_Attribute_ALTERNATE_DOMAIN::Domain));
  rows.push_back(Value<TqynSTUN_Attribute_MESSAGE_INTEGRITY>("MESSAGE-INTEGRITY", stmaMesssage_Integrity, TqynBytes(20, 0xA5),
                                                             static_cast<void (TqynSTUN_Attribute_MESSAGE_INTEGRITY::*)(Bs)>(
                                                                 &TqynSTUN_Attribute_MESSAGE_INTEGRITY::SetPayLoad),
                                                             &TqynSTUN_Attribute_MESSAGE_INTEGRITY::PayLoad));
  rows.push_back(Value<TqynSTUN_Attribute_MESSAGE_INTEGRITY_SHA256>(
      "MESSAGE-INTEGRITY-SHA256", stmaMesssage_Integrity_SHA256, TqynBytes(32, 0x5A),
      &TqynSTUN_Attribute_MESSAGE_INTEGRITY_SHA256::SetPayLoad, &TqynSTUN_Attribute_MESSAGE_INTEGRITY_SHA256::PayLoad));
  rows.push_back(Value<TqynSTUN_Attribute_FINGERPRINT>("FINGERPRINT", stmaFingerprint, uint32_t{0xDEADBEEF},
                                                       &TqynSTUN_Attribute_FINGERPRINT::SetFingerprint,
                                                       &TqynSTUN_Attribute_FINGERPRINT::Fingerprint));
  rows.push_back({"ERROR-CODE", stmaError_Code,
                  [](auto* a) {
                    As<TqynSTUN_Attribute_ERROR_CODE>(a)->SetCode(699);
                    As<TqynSTUN_Attribute_ERROR_CODE>(a)->SetReason("Odd reason.");
                  },
                  [](auto* a) {
                    EXPECT_EQ(As<TqynSTUN_Attribute_ERROR_CODE>(a)->Code(), 699);
                    EXPECT_EQ(As<TqynSTUN_Attribute_ERROR_CODE>(a)->Reason(), "Odd reason.");
                  }});
  rows.push_back(Value<TqynSTUN_Attribute_UNKNOWN_ATTRIBUTES>(
      "UNKNOWN-ATTRIBUTES", stmaUnknown_Attributes, TqynStunMessageAttributes{stmaPassword_Algorithm, stmaUserhash, stmaICMP},
      &TqynSTUN_Attribute_UNKNOWN_ATTRIBUTES::SetUnknownAttributes, &TqynSTUN_Attribute_UNKNOWN_ATTRIBUTES::UnknownAttributes));
  rows.push_back(Empty("CHANGE-REQUEST", stmaChange_Request));
  rows.push_back(Empty("RESPONSE-PORT", stmaResponse_Port));
  rows.push_back(Empty("PADDING", stmaPadding));
  rows.push_back(Empty("CACHE-TIMEOUT", stmaCache_Timeout));
  rows.push_back(Empty("PASSWORD-ALGORITHM", stmaPassword_Algorithm));
  rows.push_back(Empty("USERHASH", stmaUserhash));
  rows.push_back(Empty("PASSWORD-ALGORITHMS", stmaPassword_Algorithms));
  rows.push_back(Empty("DONT-FRAGMENT", stmaDont_Fragment));
  rows.push_back(Empty("USE-CANDIDATE", stmaUse_Candidate));
  rows.push_back(Value<TqynSTUN_Attribute_CHANNEL_NUMBER>("CHANNEL-NUMBER", stmaChannel_Number, uint16_t{0x7FFE},
                                                          &TqynSTUN_Attribute_CHANNEL_NUMBER::SetChannel,
                                                          &TqynSTUN_Attribute_CHANNEL_NUMBER::Channel));
  rows.push_back(Value<TqynSTUN_Attribute_LIFETIME>("LIFETIME", stmaLifetime, uint32_t{3600}, &TqynSTUN_Attribute_LIFETIME::SetLifetime,
                                                    &TqynSTUN_Attribute_LIFETIME::Lifetime));
  rows.push_back(Value<TqynSTUN_Attribute_DATA>("DATA", stmaData, TqynBytes{0, 1, 2, 0xFF, 0x80},
                                                static_cast<void (TqynSTUN_Attribute_DATA::*)(Bs)>(&TqynSTUN_Attribute_DATA::SetData),
                                                &TqynSTUN_Attribute_DATA::Data));
  rows.push_back(Value<TqynSTUN_Attribute_REQUESTED_ADDRESS_FAMILY>(
      "REQUESTED-ADDRESS-FAMILY", stmaRequested_Address_Family, uint8_t{2}, &TqynSTUN_Attribute_REQUESTED_ADDRESS_FAMILY::SetFamily,
      &TqynSTUN_Attribute_REQUESTED_ADDRESS_FAMILY::Family));
  rows.push_back(Value<TqynSTUN_Attribute_ADDITIONAL_ADDRESS_FAMILY>(
      "ADDITIONAL-ADDRESS-FAMILY", stmaAdditional_Address_Family, uint8_t{2},
      &TqynSTUN_Attribute_ADDITIONAL_ADDRESS_FAMILY::SetFamily, &TqynSTUN_Attribute_ADDITIONAL_ADDRESS_FAMILY::Family));
  rows.push_back(Value<TqynSTUN_Attribute_EVEN_PORT>("EVEN-PORT", stmaEven_Port, true, &TqynSTUN_Attribute_EVEN_PORT::SetEven,
                                                     &TqynSTUN_Attribute_EVEN_PORT::Even));
  rows.push_back(Value<TqynSTUN_Attribute_REQUESTED_TRANSPORT>("REQUESTED-TRANSPORT", stmaRequested_Transport, uint8_t{6},
                                                               &TqynSTUN_Attribute_REQUESTED_TRANSPORT::SetProtocol,
                                                               &TqynSTUN_Attribute_REQUESTED_TRANSPORT::Protocol));
  rows.push_back(Value<TqynSTUN_Attribute_RESERVATION_TOKEN>("RESERVATION-TOKEN", stmaReservation_Token,
                                                             TqynBytes{1, 2, 3, 4, 5, 6, 7, 8},
                                                             &TqynSTUN_Attribute_RESERVATION_TOKEN::SetToken,
                                                             &TqynSTUN_Attribute_RESERVATION_TOKEN::Token));
  rows.push_back({"ADDRESS-ERROR-CODE", stmaAddress_Error_Code,
                  [](auto* a) {
                    auto* e = As<TqynSTUN_Attribute_ADDRESS_ERROR_CODE>(a);
                    e->SetFamily(2);
                    e->SetCode(443);
                    e->SetReason("Peer Address Family Mismatch");
                  },
                  [](auto* a) {
                    auto* e = As<TqynSTUN_Attribute_ADDRESS_ERROR_CODE>(a);
                    EXPECT_EQ(e->Family(), 2);
                    EXPECT_EQ(e->Code(), 443);
                    EXPECT_EQ(e->Reason(), "Peer Address Family Mismatch");
                  }});
  rows.push_back({"ICMP", stmaICMP,
                  [](auto* a) {
                    auto* i = As<TqynSTUN_Attribute_ICMP>(a);
                    i->SetICMPType(3);
                    i->SetICMPCode(13);
                    i->SetErrorData(0x01020304);
                  },
                  [](auto* a) {
                    auto* i = As<TqynSTUN_Attribute_ICMP>(a);
                    EXPECT_EQ(i->ICMPType(), 3);
                    EXPECT_EQ(i->ICMPCode(), 13);
                    EXPECT_EQ(i->ErrorData(), 0x01020304u);
                  }});
  rows.push_back(Value<TqynSTUN_Attribute_PRIORITY>("PRIORITY", stmaPriority, uint32_t{0x6E0001FF}, &TqynSTUN_Attribute_PRIORITY::SetPriority,
                                                    &TqynSTUN_Attribute_PRIORITY::Priority));
  rows.push_back(Value<TqynSTUN_Attribute_ICE_CONTROLLED>("ICE-CONTROLLED", stmaICE_Controlled, Hex("932ff9b151263b36"),
                                                          &TqynSTUN_Attribute_ICE_CONTROLLED::SetTieBreaker,
                                                          &TqynSTUN_Attribute_ICE_CONTROLLED::TieBreaker));
  rows.push_back(Value<TqynSTUN_Attribute_ICE_CONTROLLING>("ICE-CONTROLLING", stmaICE_Controlling, Hex("0102030405060708"),
                                                           &TqynSTUN_Attribute_ICE_CONTROLLING::SetTieBreaker,
                                                           &TqynSTUN_Attribute_ICE_CONTROLLING::TieBreaker));
  return rows;
}

} // namespace

TEST(StunAttributeRoundTrip, EveryClassThroughWriteAndRead) {
  std::set<TqynStunMessageAttribute> covered;
  for (const RoundTrip& row : RoundTrips()) {
    SCOPED_TRACE(row.Name);
    covered.insert(row.Type);
    TqynSTUN_Message m;
    // A 3-byte SOFTWARE (or a 1-byte EVEN-PORT) before and a PRIORITY after check the framing
    // around the attribute.
    if (row.Type != stmaSoftware) m.Attributes().Add<TqynSTUN_Attribute_SOFTWARE>()->SetSoftware("abc");
    else m.Attributes().Add<TqynSTUN_Attribute_EVEN_PORT>()->SetEven(true);
    TqynSTUN_Attribute* a = m.Attributes().Add(CreateAttributeOfType(row.Type));
    row.Fill(a);
    // FINGERPRINT counts only as the last attribute.
    const bool last = row.Type == stmaFingerprint;
    if (!last) m.Attributes().Add<TqynSTUN_Attribute_PRIORITY>()->SetPriority(77);
    // The frame is as long as the length computation says.
    EXPECT_EQ(a->Write().size(), a->FrameLength());
    const TqynBytes bytes = WriteMessage(m);
    EXPECT_EQ(bytes.size(), 20u + m.ComputeMessageLength());

    TqynSTUN_Message r;
    ASSERT_NO_THROW(r.Read(bytes));
    TqynSTUN_Attribute* back = r.Attributes().GetAttribute(row.Type);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(typeid(*back), typeid(*a));
    EXPECT_EQ(back->AttributeLength(), a->Write().size() >= 4 ? QynReadUInt16BE(a->Write(), 2) : 0);
    row.Check(back);
    // Attributes after MESSAGE-INTEGRITY(-SHA256) are dropped; elsewhere the PRIORITY is read in
    // place.
    auto* p = r.Attributes().GetAttribute<TqynSTUN_Attribute_PRIORITY>(stmaPriority);
    if (row.Type == stmaMesssage_Integrity || row.Type == stmaMesssage_Integrity_SHA256) {
      EXPECT_EQ(p, nullptr);
    } else if (last) {
      EXPECT_EQ(r.Attributes().Count(), 2u);
    } else if (row.Type != stmaPriority) {
      ASSERT_NE(p, nullptr);
      EXPECT_EQ(p->Priority(), 77u);
      EXPECT_EQ(r.Attributes().Count(), 3u);
    }
    // Written again, the read attribute gives the same bytes.
    EXPECT_EQ(back->Write(), a->Write());
  }
  EXPECT_EQ(covered.size(), 41u); // every type but stmaMapped_None
}
