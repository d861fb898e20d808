// qyn-test-labels: unit
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "qynClock.h"
#include "qynMessages.h"
#include "qynP2P_TURN_Classes.h"

namespace {

class TurnClasses : public ::testing::Test {
protected:
  void SetUp() override { QynClockReset(); }
  void TearDown() override { QynClockReset(); }
};

} // namespace

TEST_F(TurnClasses, PermissionLifetimeEdges) {
  TqynTURNAllocationPermissions permissions;
  EXPECT_EQ(permissions.Lifetime(), 300);
  EXPECT_TRUE(permissions.OwnObjects());
  EXPECT_FALSE(permissions.IsValidPermission("192.0.2.1")); // unknown

  const TqynDateTime before = QynNow();
  auto p = permissions.CreateUpdatePermission("192.0.2.1");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->ID(), "192.0.2.1");
  EXPECT_EQ(p->IPAddress(), "192.0.2.1");
  EXPECT_GE(p->Expires(), before + 300 * 1000);
  EXPECT_LE(p->Expires(), QynNow() + 300 * 1000);

  QynClockReset();
  QynClockShift(299 * 1000);
  EXPECT_TRUE(permissions.IsValidPermission("192.0.2.1"));
  QynClockReset();
  QynClockShift(301 * 1000);
  EXPECT_FALSE(permissions.IsValidPermission("192.0.2.1"));
  // An expired permission stays until deleted.
  EXPECT_EQ(permissions.Count(), 1);
  EXPECT_EQ(permissions.GetPermission("192.0.2.1"), p);
  QynClockReset();
}

TEST_F(TurnClasses, PermissionCreateUpdateAndDelete) {
  TqynTURNAllocationPermissions permissions;
  permissions.SetLifetime(10);
  EXPECT_FALSE(permissions.UpdatePermission("198.51.100.1")); // adds nothing
  EXPECT_EQ(permissions.Count(), 0);

  auto p = permissions.CreateUpdatePermission("198.51.100.1");
  EXPECT_LE(p->Expires(), QynNow() + 10 * 1000);
  QynClockShift(5 * 1000);
  auto again = permissions.CreateUpdatePermission("198.51.100.1");
  EXPECT_EQ(again, p); // found, not added
  EXPECT_EQ(permissions.Count(), 1);
  EXPECT_GE(p->Expires(), QynNow() + 10 * 1000 - 50);

  // UpdatePermission grants a fixed 300 s, whatever Lifetime says.
  EXPECT_TRUE(permissions.UpdatePermission("198.51.100.1"));
  EXPECT_GE(p->Expires(), QynNow() + 299 * 1000);
  EXPECT_LE(p->Expires(), QynNow() + 300 * 1000);

  permissions.CreateUpdatePermission("198.51.100.2");
  EXPECT_TRUE(permissions.DeletePermission("198.51.100.1"));
  EXPECT_FALSE(permissions.DeletePermission("198.51.100.1"));
  EXPECT_EQ(permissions.Count(), 1);
  EXPECT_EQ(p->IPAddress(), "198.51.100.1"); // a caller's reference stays valid
  EXPECT_FALSE(permissions.IsValidPermission("198.51.100.1"));
  EXPECT_TRUE(permissions.IsValidPermission("198.51.100.2"));
}

TEST_F(TurnClasses, ChannelNumberWalk) {
  TqynTURNChannels channels;
  EXPECT_EQ(channels.Lifetime(), 600);
  EXPECT_EQ(channels.MinChannelID(), 0x4000);
  EXPECT_EQ(channels.MaxChannelID(), 0x4FFF);

  auto a = channels.CreateChannel("192.0.2.1", 1000, 0);
  auto b = channels.CreateChannel("192.0.2.1", 1001, 0);
  EXPECT_EQ(a->ChannelID(), 0x4000);
  EXPECT_EQ(b->ChannelID(), 0x4001);
  EXPECT_EQ(a->ID(), "16384");
  EXPECT_EQ(a->Expires(), 0);
  EXPECT_TRUE(channels.DeleteChannel(0x4000));
  EXPECT_FALSE(channels.DeleteChannel(0x4000));
  auto c = channels.CreateChannel("192.0.2.2", 1000, 0);
  EXPECT_EQ(c->ChannelID(), 0x4000); // the freed number is handed out again
  auto d = channels.CreateChannel("192.0.2.3", 1000, 0);
  EXPECT_EQ(d->ChannelID(), 0x4002);
  // An explicit number is taken as given.
  auto e = channels.CreateChannel("192.0.2.4", 1000, 0x4ABC);
  EXPECT_EQ(e->ChannelID(), 0x4ABC);
  EXPECT_EQ(channels.GetChannel(0x4ABC), e);
  EXPECT_EQ(channels.GetChannel(0x4003), nullptr);
}

TEST_F(TurnClasses, ExistingPeerKeepsItsChannel) {
  TqynTURNChannels channels;
  auto ch = channels.CreateChannel("192.0.2.1", 2000, 0x4005);
  ASSERT_EQ(ch->ChannelID(), 0x4005);
  auto same = channels.CreateChannel("192.0.2.1", 2000, 0x4007);
  EXPECT_EQ(same, ch);
  EXPECT_EQ(channels.Count(), 1);

  const TqynDateTime first = channels.CreateUpdateChannel("192.0.2.1", 2000, 0x4005)->Expires();
  QynClockShift(30 * 1000);
  auto updated = channels.CreateUpdateChannel("192.0.2.1", 2000, 0x4009);
  EXPECT_EQ(updated, ch);
  EXPECT_EQ(updated->ChannelID(), 0x4005);
  EXPECT_GE(updated->Expires(), first + 30 * 1000);
}

TEST_F(TurnClasses, LookupByPeerIsExactAndInListOrder) {
  TqynTURNChannels channels;
  channels.CreateChannel("2001:db8::1", 3000, 0);
  EXPECT_EQ(channels.GetChannel("2001:DB8::1", 3000), nullptr); // exact text comparison
  EXPECT_EQ(channels.GetChannel("2001:db8::1", 3001), nullptr);
  EXPECT_NE(channels.GetChannel("2001:db8::1", 3000), nullptr);
  EXPECT_EQ(channels.GetChannelByIndex(0)->PeerPort(), 3000);
  EXPECT_EQ(channels.GetChannelByIndex(1), nullptr);
}

TEST_F(TurnClasses, FullListRaisesAndStaysUnchanged) {
  TqynTURNChannels channels;
  channels.SetMinChannelID(0x4000);
  channels.SetMaxChannelID(0x4000);
  channels.CreateChannel("192.0.2.1", 1, 0);
  try {
    channels.CreateChannel("192.0.2.2", 1, 0);
    FAIL() << "no exception";
  } catch (const Exception& E) {
    EXPECT_EQ(E.Message(), RS_ChannelListFull);
    EXPECT_STREQ(E.ClassName(), "EqynTURNChannelListFull");
  }
  EXPECT_EQ(channels.Count(), 1);
  // An inverted range has no number at all.
  TqynTURNChannels inverted;
  inverted.SetMinChannelID(0x4010);
  inverted.SetMaxChannelID(0x400F);
  EXPECT_THROW(inverted.CreateChannel("192.0.2.1", 1, 0), EqynTURNChannelListFull);
  EXPECT_EQ(inverted.Count(), 0);
}

TEST_F(TurnClasses, ChannelValidity) {
  TqynTURNChannels channels;
  channels.CreateChannel("192.0.2.1", 1, 0);
  EXPECT_FALSE(channels.IsValidChannel("192.0.2.1", 1)); // Expires 0
  channels.CreateUpdateChannel("192.0.2.1", 1, 0);
  EXPECT_TRUE(channels.IsValidChannel("192.0.2.1", 1));
  QynClockShift(599 * 1000);
  EXPECT_TRUE(channels.IsValidChannel("192.0.2.1", 1));
  QynClockShift(2 * 1000);
  EXPECT_FALSE(channels.IsValidChannel("192.0.2.1", 1));
  EXPECT_FALSE(channels.IsValidChannel("192.0.2.9", 1)); // no channel
}

TEST_F(TurnClasses, ConcurrentCreatorsNeverShareANumber) {
  TqynTURNChannels channels;
  constexpr int KPerThread = 200;
  auto worker = [&](int aThread) {
    for (int i = 0; i < KPerThread; ++i)
      channels.CreateChannel("10.0." + std::to_string(aThread) + "." + std::to_string(i % 250), static_cast<uint16_t>(i), 0);
  };
  std::thread t1(worker, 1), t2(worker, 2);
  t1.join();
  t2.join();
  ASSERT_EQ(channels.Count(), 2 * KPerThread);
  std::set<uint16_t> numbers;
  for (int i = 0; i < channels.Count(); ++i) numbers.insert(channels.GetChannelByIndex(i)->ChannelID());
  EXPECT_EQ(numbers.size(), static_cast<size_t>(2 * KPerThread));
  EXPECT_EQ(*numbers.begin(), 0x4000);
  EXPECT_EQ(*numbers.rbegin(), 0x4000 + 2 * KPerThread - 1);
}

TEST_F(TurnClasses, TransactionID) {
  TqynTURNChannel ch(0x4000, "192.0.2.1", 1);
  EXPECT_TRUE(ch.TransactionID().empty());
  ch.SetTransactionID("abcdefghijkl");
  EXPECT_EQ(ch.TransactionID(), "abcdefghijkl");
}

TEST(TurnChannelData, WriteReadRoundTrip) {
  TqynTURNChannelData out;
  out.SetChannelID(0x4001);
  out.SetData({0x68, 0x65, 0x6C, 0x6C, 0x6F});
  const TqynBytes wire = out.Write();
  EXPECT_EQ(wire, (TqynBytes{0x40, 0x01, 0x00, 0x05, 0x68, 0x65, 0x6C, 0x6C, 0x6F, 0x00, 0x00, 0x00}));
  EXPECT_EQ(out.Data().size(), 5u); // unchanged by Write
  EXPECT_TRUE(IsChannelData(wire));
  TqynTURNChannelData in;
  ASSERT_TRUE(in.AllDataReceived(wire));
  in.Read(wire);
  EXPECT_EQ(in.ChannelID(), 0x4001);
  EXPECT_EQ(in.Data(), (TqynBytes{0x68, 0x65, 0x6C, 0x6C, 0x6F}));
}

TEST(TurnChannelData, PaddingAndEmptyData) {
  struct TCase {
    size_t Length;
    size_t WireSize;
  };
  for (const TCase c : {TCase{0, 4}, TCase{1, 8}, TCase{3, 8}, TCase{4, 8}, TCase{5, 12}, TCase{65535, 65540}}) {
    SCOPED_TRACE(c.Length);
    TqynTURNChannelData out;
    out.SetChannelID(0x4FFF);
    out.SetData(TqynBytes(c.Length, 0xEE));
    const TqynBytes wire = out.Write();
    ASSERT_EQ(wire.size(), c.WireSize);
    for (size_t i = 4 + c.Length; i < wire.size(); ++i) EXPECT_EQ(wire[i], 0);
    TqynTURNChannelData in;
    EXPECT_TRUE(in.AllDataReceived(wire));
    in.Read(wire);
    EXPECT_EQ(in.Data().size(), c.Length);
  }
  TqynTURNChannelData cleared;
  cleared.SetData({1, 2});
  cleared.SetData({});
  EXPECT_TRUE(cleared.Data().empty());
  TqynTURNChannelData tooLong;
  tooLong.SetData(TqynBytes(65536, 1));
  EXPECT_THROW(tooLong.Write(), Exception);
}

TEST(TurnChannelData, TruncatedInput) {
  TqynTURNChannelData cd;
  // Announces 8 bytes, carries 5.
  const TqynBytes truncated{0x40, 0x01, 0x00, 0x08, 1, 2, 3, 4, 5};
  EXPECT_FALSE(cd.AllDataReceived(truncated));
  cd.Read(truncated); // never reads past the end
  EXPECT_EQ(cd.Data(), (TqynBytes{1, 2, 3, 4, 5}));
  for (const TqynBytes& shortInput : {TqynBytes{}, TqynBytes{0x40}, TqynBytes{0x40, 0x01, 0x00}}) {
    EXPECT_FALSE(cd.AllDataReceived(shortInput));
    cd.Read(shortInput);
    EXPECT_TRUE(cd.Data().empty());
  }
  // Extra bytes beyond the announced length are allowed (padding).
  EXPECT_TRUE(cd.AllDataReceived({0x40, 0x01, 0x00, 0x01, 9, 0, 0, 0}));
}

TEST(TurnChannelData, IsChannelDataRange) {
  struct TCase {
    TqynBytes Bytes;
    bool Expected;
  };
  for (const auto& c : {TCase{{}, false}, TCase{{0x3F}, false}, TCase{{0x40}, true}, TCase{{0x4F, 0xFF}, true},
                        TCase{{0x50}, false}, TCase{{0x00, 0x01}, false}, TCase{{0x01}, false}}) {
    EXPECT_EQ(IsChannelData(c.Bytes), c.Expected);
  }
}
