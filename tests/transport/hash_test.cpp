// qyn-test-labels: unit
#include <gtest/gtest.h>

#include "qynId_Hash.h"
#include "qynBase_Types.h"

namespace {
std::string Hex(const TIdBytes& b) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (uint8_t c : b) { s += d[c >> 4]; s += d[c & 15]; }
  return s;
}
TIdBytes B(const std::string& s) { return TIdBytes(s.begin(), s.end()); }
} // namespace

TEST(Digests, KnownAnswers) {
  EXPECT_EQ(Hex(TIdHashMessageDigest5::HashString("")), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Hex(TIdHashMessageDigest5::HashString("abc")), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Hex(TIdHashSHA1::HashBytes(B("abc"))), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(Hex(TIdHashSHA256::HashBytes(B("abc"))), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Digests, HmacRfc2202And4231) {
  // RFC 2202 test case 2 and RFC 4231 test case 2.
  EXPECT_EQ(Hex(TIdHMACSHA1::HashValue(B("Jefe"), B("what do ya want for nothing?"))),
            "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
  EXPECT_EQ(Hex(TIdHMACSHA256::HashValue(B("Jefe"), B("what do ya want for nothing?"))),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  // An empty key is valid HMAC input.
  EXPECT_EQ(TIdHMACSHA1::HashValue(TIdBytes{}, B("x")).size(), 20u);
}

TEST(Digests, Base64RoundTrip) {
  const struct { const char* plain; const char* coded; } cases[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foobar", "Zm9vYmFy"}};
  for (const auto& c : cases) {
    EXPECT_EQ(TIdEncoderMIME::EncodeString(c.plain), c.coded);
    EXPECT_EQ(TIdDecoderMIME::DecodeBytes(c.coded), B(c.plain));
  }
  EXPECT_THROW(TIdDecoderMIME::DecodeBytes("abc"), Exception);
}
