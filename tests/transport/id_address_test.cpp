// qyn-test-labels: unit
//
// The one parser of address literals: a table of accepted and refused texts, agreement with the
// operating system's own parser (inet_pton) on many random texts, and the STUN codec refusing
// what the parser refuses.

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "qynId_Address.h"
#include "qynId_Stack.h"
#include "qynP2P_STUN_Classes.h"

TEST(IdAddress, IPv4Table) {
  struct Row {
    const char* Text;
    bool Accepted;
  };
  const std::vector<Row> rows = {
      {"192.0.2.1", true},   {"0.0.0.0", true},     {"255.255.255.255", true}, {"300.1.1.1", false}, {"256.0.0.1", false},
      {"1.2.3.256", false},  {"1.2.3", false},      {"1.2.3.4.5", false},      {"1..2.3", false},    {"01.2.3.4", false},
      {"1.2.3.04", false},   {"1.2.3.4 ", false},   {" 1.2.3.4", false},       {"", false},          {"a.b.c.d", false},
      {"4294967297.0.0.1", false}, {"1.2.3.-4", false}, {"+1.2.3.4", false},   {"1.2.3.4.", false},  {"1000.1.1.1", false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.Text);
    uint8_t b[4] = {9, 9, 9, 9};
    EXPECT_EQ(QynParseIPv4(r.Text, b), r.Accepted);
    in_addr sys;
    EXPECT_EQ(inet_pton(AF_INET, r.Text, &sys) == 1, r.Accepted);
    if (r.Accepted) {
      EXPECT_EQ(std::memcmp(b, &sys, 4), 0);
    }
  }
}

TEST(IdAddress, IPv6Table) {
  struct Row {
    const char* Text;
    bool Accepted;
  };
  const std::vector<Row> rows = {
      {"2001:db8:0:0:0:0:0:1", true}, {"2001:DB8::1", true},     {"::", true},          {"::1", true},
      {"1::", true},                  {"1:2:3:4:5:6:7::", true}, {"::ffff:192.0.2.1", true}, {"1:2:3:4:5:6:1.2.3.4", true},
      {"1:2:3:4:5:6:7:8:9", false},   {"1::2::3", false},        {":1::", false},       {"1:::2", false},
      {"00000::1", false},            {"::ffff:300.1.1.1", false}, {"::ffff:01.2.3.4", false}, {"1:2:3:4:5:6:7:1.2.3.4", false},
      {"fe80::1%eth0", false},        {"1:2:3:4:5:6:7:8::", false}, {"1.2.3.4", false},   {"g::1", false},
      {"", false},                    {":", false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.Text);
    uint8_t b[16];
    EXPECT_EQ(QynParseIPv6(r.Text, b), r.Accepted);
    in6_addr sys;
    EXPECT_EQ(inet_pton(AF_INET6, r.Text, &sys) == 1, r.Accepted);
    if (r.Accepted) {
      EXPECT_EQ(std::memcmp(b, &sys, 16), 0);
    }
  }
}

// Random texts over the characters literals are made of, seeded so that a failure repeats: the
// parser and inet_pton agree on every one, bytes included.
TEST(IdAddress, AgreesWithTheSystemParser) {
  std::mt19937 rng(20261210);
  const std::string v4 = "0123456789.";
  const std::string v6 = "0123456789abcdefABCDEF:.";
  int accepted4 = 0, accepted6 = 0;
  for (int n = 0; n < 200000; ++n) {
    std::string t;
    const bool six = n % 2 == 1;
    const std::string& alphabet = six ? v6 : v4;
    const size_t len = rng() % (six ? 24 : 16);
    for (size_t i = 0; i < len; ++i) t += alphabet[rng() % alphabet.size()];
    if (six) {
      uint8_t a[16];
      in6_addr b;
      const bool ours = QynParseIPv6(t, a);
      ASSERT_EQ(ours, inet_pton(AF_INET6, t.c_str(), &b) == 1) << t;
      if (ours) {
        ASSERT_EQ(std::memcmp(a, &b, 16), 0) << t;
      }
      accepted6 += ours;
    } else {
      uint8_t a[4];
      in_addr b;
      const bool ours = QynParseIPv4(t, a);
      ASSERT_EQ(ours, inet_pton(AF_INET, t.c_str(), &b) == 1) << t;
      if (ours) {
        ASSERT_EQ(std::memcmp(a, &b, 4), 0) << t;
      }
      accepted4 += ours;
    }
  }
  // The random texts reached the accepting paths too.
  EXPECT_GT(accepted4, 0);
  EXPECT_GT(accepted6, 0);
}

// The codec writes an address only when the parser accepts its text.
TEST(IdAddress, CodecRefusesWhatTheParserRefuses) {
  for (const char* text : {"300.1.1.1", "1.2.3", "01.2.3.4"}) {
    SCOPED_TRACE(text);
    TqynSTUN_Attribute_MAPPED_ADDRESS a;
    a.SetFamily(1);
    a.SetPort(1);
    a.SetAddress(text);
    EXPECT_THROW(a.Write(), Exception);
  }
  TqynSTUN_Attribute_XOR_MAPPED_ADDRESS x;
  x.SetFamily(2);
  x.SetAddress("::ffff:300.1.1.1");
  EXPECT_THROW(x.Write(), Exception);
  x.SetAddress("::ffff:192.0.2.1");
  EXPECT_NO_THROW(x.Write());
}

// The socket layer takes the same texts as the codec: what one refuses, the other refuses.
TEST(IdAddress, SocketLayerRefusesWhatTheParserRefuses) {
  for (const char* text : {"300.1.1.1", "1.2.3", "01.2.3.4", "1.2.3.4.5", " 1.2.3.4"}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(GStack().IsIP(text));
  }
  EXPECT_TRUE(GStack().IsIP("192.0.2.1"));
  EXPECT_FALSE(GStack().IsIPv6("::ffff:300.1.1.1"));
  EXPECT_TRUE(GStack().IsIPv6("::ffff:192.0.2.1"));
  EXPECT_EQ(GStack().MakeCanonicalIPv6Address("::1"), "0:0:0:0:0:0:0:1");
  EXPECT_EQ(GStack().MakeCanonicalIPv6Address("::ffff:300.1.1.1"), "");
}
