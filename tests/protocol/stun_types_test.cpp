// qyn-test-labels: unit
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "qynP2P_STUN_Classes.h"
#include "qynP2P_STUN_Types.h"

TEST(StunEnums, OrdinalsFollowTheDeclaredOrder) {
  EXPECT_EQ(stmcResponseError, 3);
  EXPECT_EQ(stmmChannelBind, 9);
  EXPECT_EQ(stmmSend, 6);
  EXPECT_EQ(stfsFingerprintInvalid, 2);
  EXPECT_EQ(stisMessageIntegrityInvalidRequest, 3);
  EXPECT_EQ(stauLongTermCredential, 2);
  EXPECT_EQ(stmtServerResponse, 4);
  EXPECT_EQ(stnsNonceStaled, 2);
  EXPECT_EQ(stunTCP, 1);
  EXPECT_EQ(stmaMesssage_Integrity_SHA256, 20);
  EXPECT_EQ(stmaICE_Controlling, 41);
  EXPECT_EQ(QYN_STUN_ATTRIBUTE_TYPE_COUNT, 42);
}

TEST(StunAttributeMaps, CodesOfTheTableMapBothWays) {
  struct Row {
    TqynStunMessageAttribute Type;
    uint16_t Code;
  };
  const Row rows[] = {
      {stmaMapped_Address, 0x0001},          {stmaXOR_Mapped_Address, 0x0020},     {stmaUsername, 0x0006},
      {stmaMesssage_Integrity, 0x0008},      {stmaFingerprint, 0x8028},            {stmaError_Code, 0x0009},
      {stmaRealm, 0x0014},                   {stmaNonce, 0x0015},                  {stmaUnknown_Attributes, 0x000A},
      {stmaSoftware, 0x8022},                {stmaAlternate_Server, 0x8023},       {stmaChange_Request, 0x0003},
      {stmaResponse_Port, 0x0027},           {stmaPadding, 0x0026},                {stmaCache_Timeout, 0x8027},
      {stmaResponse_Origin, 0x802B},         {stmaOther_Address, 0x802C},          {stmaSource_Address, 0x0004},
      {stmaChanged_Address, 0x0005},         {stmaMesssage_Integrity_SHA256, 0x001C}, {stmaPassword_Algorithm, 0x001D},
      {stmaUserhash, 0x001E},                {stmaPassword_Algorithms, 0x8002},    {stmaAlternate_Domain, 0x8003},
      {stmaChannel_Number, 0x000C},          {stmaLifetime, 0x000D},               {stmaXOR_Peer_Address, 0x0012},
      {stmaData, 0x0013},                    {stmaXOR_Relayed_Address, 0x0016},    {stmaRequested_Address_Family, 0x0017},
      {stmaEven_Port, 0x0018},               {stmaRequested_Transport, 0x0019},    {stmaDont_Fragment, 0x001A},
      {stmaReservation_Token, 0x0022},       {stmaAdditional_Address_Family, 0x8000}, {stmaAddress_Error_Code, 0x8001},
      {stmaICMP, 0x8004},                    {stmaPriority, 0x0024},               {stmaUse_Candidate, 0x0025},
      {stmaICE_Controlled, 0x8029},          {stmaICE_Controlling, 0x802A},
  };
  ASSERT_EQ(std::size(rows), 41u);
  for (const Row& r : rows) {
    EXPECT_EQ(AttributeTypeToCode(r.Type), r.Code) << AttributeTypeName(r.Type);
    EXPECT_EQ(AttributeCodeToType(r.Code), r.Type) << AttributeTypeName(r.Type);
  }
  EXPECT_EQ(AttributeTypeToCode(stmaMapped_None), 0x0000);
  for (uint16_t unknown : {0x0000, 0x0002, 0x0007, 0x0021, 0x003F, 0x0040, 0x7FFF, 0x8005, 0x8026, 0xC057, 0xFFFF})
    EXPECT_EQ(AttributeCodeToType(unknown), stmaMapped_None) << unknown;
}

TEST(StunAttributeMaps, ClassOfEveryTypeCreatesAnObjectOfThatType) {
  for (int i = 0; i < QYN_STUN_ATTRIBUTE_TYPE_COUNT; ++i) {
    const auto type = static_cast<TqynStunMessageAttribute>(i);
    std::unique_ptr<TqynSTUN_Attribute> a = AttributeClassOfType(type)();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->AttributeType(), type) << AttributeTypeName(type);
  }
  EXPECT_NE(dynamic_cast<TqynSTUN_Attribute_None*>(CreateAttributeOfType(stmaMapped_None).get()), nullptr);
  // The class tree.
  EXPECT_NE(dynamic_cast<TqynSTUN_Attribute_MAPPED_ADDRESS*>(CreateAttributeOfType(stmaChanged_Address).get()), nullptr);
  EXPECT_NE(dynamic_cast<TqynSTUN_Attribute_MAPPED_ADDRESS*>(CreateAttributeOfType(stmaAlternate_Server).get()), nullptr);
  EXPECT_NE(dynamic_cast<TqynSTUN_Attribute_XOR_MAPPED_ADDRESS*>(CreateAttributeOfType(stmaXOR_Relayed_Address).get()), nullptr);
  EXPECT_NE(dynamic_cast<TqynSTUN_Attribute_XOR_MAPPED_ADDRESS*>(CreateAttributeOfType(stmaXOR_Peer_Address).get()), nullptr);
  EXPECT_NE(dynamic_cast<TqynSTUN_Attribute_REQUESTED_ADDRESS_FAMILY*>(CreateAttributeOfType(stmaAdditional_Address_Family).get()),
            nullptr);
  EXPECT_NE(dynamic_cast<TqynSTUN_Attribute_ICE_CONTROL_BASE*>(CreateAttributeOfType(stmaICE_Controlled).get()), nullptr);
  EXPECT_NE(dynamic_cast<TqynSTUN_Attribute_ICE_CONTROL_BASE*>(CreateAttributeOfType(stmaICE_Controlling).get()), nullptr);
  EXPECT_EQ(dynamic_cast<TqynSTUN_Attribute_MAPPED_ADDRESS*>(CreateAttributeOfType(stmaXOR_Mapped_Address).get()), nullptr);
  // Out-of-range values fall back to the class of unknown codes.
  EXPECT_EQ(AttributeClassOfType(static_cast<TqynStunMessageAttribute>(200))()->AttributeType(), stmaMapped_None);
}

TEST(StunAttributeSet, IncludeExcludeAndAscendingIteration) {
  TqynStunMessageAttributes s;
  EXPECT_TRUE(s.Empty());
  s.Include(stmaUserhash);
  s.Include(stmaPassword_Algorithm);
  s.Include(stmaICE_Controlling);
  s.Include(stmaMapped_None);
  s.Include(stmaUserhash);
  EXPECT_EQ(s.Count(), 4);
  EXPECT_TRUE(s.Contains(stmaPassword_Algorithm));
  EXPECT_FALSE(s.Contains(stmaData));
  std::vector<TqynStunMessageAttribute> order(s.begin(), s.end());
  EXPECT_EQ(order, (std::vector<TqynStunMessageAttribute>{stmaMapped_None, stmaPassword_Algorithm, stmaUserhash, stmaICE_Controlling}));
  s.Exclude(stmaMapped_None);
  EXPECT_EQ(s, (TqynStunMessageAttributes{stmaPassword_Algorithm, stmaUserhash, stmaICE_Controlling}));
  const TqynStunMessageAttributes t{stmaUserhash, stmaData};
  EXPECT_EQ(s * t, TqynStunMessageAttributes{stmaUserhash});
  EXPECT_EQ((s + t).Count(), 4);
  EXPECT_EQ(s - t, (TqynStunMessageAttributes{stmaPassword_Algorithm, stmaICE_Controlling}));
}

TEST(StunCrc32, StandardCheckValueAndLengths) {
  EXPECT_EQ(QynCRC32("123456789", 9), 0xCBF43926u);
  EXPECT_EQ(QynCRC32("", 0), 0u);
  EXPECT_EQ(QynCRC32("a", 1), 0xE8B7BE43u);
  // The 8-byte fast path and the byte tail agree for every split.
  const std::string text = "The quick brown fox jumps over the lazy dog";
  EXPECT_EQ(QynCRC32(text.data(), text.size()), 0x414FA339u);
}

TEST(StunByteRoutines, BigEndianReadsAreBoundsChecked) {
  const TqynBytes b = {0x12, 0x34, 0x56, 0x78, 0x9A};
  EXPECT_EQ(QynReadUInt16BE(b, 0), 0x1234);
  EXPECT_EQ(QynReadUInt16BE(b, 3), 0x789A);
  EXPECT_EQ(QynReadUInt16BE(b, 4), 0);  // one byte short
  EXPECT_EQ(QynReadUInt16BE(b, -1), 0);
  EXPECT_EQ(QynReadUInt32BE(b, 1), 0x3456789Au);
  EXPECT_EQ(QynReadUInt32BE(b, 2), 0u);
  volatile int64_t far = INT64_MAX; // not a compile-time constant: keeps the compiler's bounds analysis quiet
  EXPECT_EQ(QynReadUInt32BE(b, far), 0u);
  TqynBytes out;
  QynAppendUInt16BE(out, 0xABCD);
  QynAppendUInt32BE(out, 0x01020304);
  QynAppendByte(out, 0xFF);
  QynAppendBytes(out, TqynBytes{7, 8});
  EXPECT_EQ(out, (TqynBytes{0xAB, 0xCD, 1, 2, 3, 4, 0xFF, 7, 8}));
}

// Short runs go byte by byte, longer ones in one copy; a run taken from the vector itself stays
// right when the vector has to grow for it.
TEST(StunBytes, AppendBytesOfEveryLengthAndFromItself) {
  const TqynBytes source = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
  for (size_t n : {size_t{0}, size_t{3}, size_t{4}, size_t{5}, size_t{13}, source.size()}) {
    SCOPED_TRACE(n);
    TqynBytes out = {0xEE};
    QynAppendBytes(out, source.data(), n);
    TqynBytes want = {0xEE};
    want.insert(want.end(), source.begin(), source.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_EQ(out, want);
  }
  TqynBytes self = source;
  self.shrink_to_fit(); // no spare room: appending must move the storage
  QynAppendBytes(self, self.data(), 10);
  TqynBytes want = source;
  want.insert(want.end(), source.begin(), source.begin() + 10);
  EXPECT_EQ(self, want);
}

TEST(StunTransactionId, RandomIdsAreTwelveLowercaseLetters) {
  std::set<TqynBytes> seen;
  std::set<uint8_t> letters;
  for (int i = 0; i < 200; ++i) {
    const TqynBytes id = NewTransactionId("");
    ASSERT_EQ(id.size(), 12u);
    for (uint8_t c : id) {
      ASSERT_GE(c, 0x61);
      ASSERT_LE(c, 0x7A);
      letters.insert(c);
    }
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 200u);   // 26^12 ids: a repeat means a broken generator
  EXPECT_EQ(letters.size(), 26u); // 2400 draws reach every letter

  TqynSTUN_Header h;
  h.SetTransactionId(NewTransactionId());
  EXPECT_EQ(h.TransactionIdString().size(), 12u);
}

TEST(StunTransactionId, TextGivesItsBytesThenZeros) {
  EXPECT_EQ(NewTransactionId("ab"), (TqynBytes{0x61, 0x62, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  const std::string twelve = "abcdefghijkl";
  EXPECT_EQ(NewTransactionId("abcdefghijklmnop"), TqynBytes(twelve.begin(), twelve.end()));
  TqynSTUN_Header h;
  h.SetTransactionId(NewTransactionId("ab"));
  EXPECT_EQ(h.TransactionIdString(), "ab");
  TqynSTUN_Header fresh;
  EXPECT_EQ(fresh.TransactionId(), TqynBytes(12, 0));
  EXPECT_EQ(fresh.TransactionIdString(), "");
}

TEST(StunOptions, DefaultsAndAssign) {
  TqynSTUN_Options a;
  EXPECT_FALSE(a.Fingerprint);
  EXPECT_TRUE(a.Software);
  TqynSTUN_Options b;
  b.Fingerprint = true;
  b.Software = false;
  a.Assign(b);
  EXPECT_TRUE(a.Fingerprint);
  EXPECT_FALSE(a.Software);
}

TEST(StunExceptionSilent, IsAnExceptionOfItsOwnClass) {
  try {
    throw TqynSTUNExceptionSilent("sent");
  } catch (const Exception& e) {
    EXPECT_STREQ(e.ClassName(), "TqynSTUNExceptionSilent");
    EXPECT_EQ(e.Message(), "sent");
    EXPECT_STREQ(e.Clone()->ClassName(), "TqynSTUNExceptionSilent");
  }
}
