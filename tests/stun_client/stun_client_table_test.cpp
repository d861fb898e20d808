// qyn-test-labels: unit
// qyn-test-libs: qyn_stun_client
//
// The STUN client's request table on its own: what an entry records from an encoded request
// (key, method, MESSAGE-INTEGRITY key, parameters), lookups, and the bounds that keep it from
// growing without limit (retention time, maximum count).
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "qynClock.h"
#include "qynId_Hash.h"
#include "qynP2P_STUN_Client.h"

namespace {

using namespace std::chrono_literals;

// An encoded request of the method, with attributes added by aFill; signed with long-term
// credentials when aSign.
std::unique_ptr<TqynSTUN_Message> Request(TqynStunMessageMethod aMethod, const std::function<void(TqynSTUN_Message&)>& aFill = {},
                                          bool aSign = false) {
  auto m = std::make_unique<TqynSTUN_Message>();
  m->SetMessageType(stmtClientRequest);
  m->Header().SetMessageType_Class(stmcRequest);
  m->Header().SetMessageType_Method(aMethod);
  m->Header().SetMagicCookie(QYN_STUN_MAGIC_COOKIE);
  m->Header().SetTransactionId(NewTransactionId());
  if (aFill) aFill(*m);
  if (aSign) {
    m->SetCredentials(stauLongTermCredential);
    m->SetUsername("user");
    m->SetRealm("realm");
    m->SetPassword("pass");
    m->SetNonce("nonce");
  }
  m->Header().SetMessageLength(static_cast<uint16_t>(m->ComputeMessageLength()));
  m->Write();
  return m;
}

void AddPeer(TqynSTUN_Message& m, const std::string& aIP, uint16_t aPort) {
  auto* a = m.Attributes().Add<TqynSTUN_Attribute_XOR_PEER_ADDRESS>();
  a->SetAddress(aIP);
  a->SetPort(aPort);
  a->SetFamily(aIP.find(':') != std::string::npos ? 2 : 1);
  a->SetTransactionId(m.Header().TransactionId());
}

TEST(StunRequestsQueue, AnEntryRecordsTheRequest) {
  TqynSTUNRequestsQueue table;
  auto plain = Request(stmmBinding);
  auto signedRequest = Request(stmmBinding, {}, true);
  table.AddRequest(plain.get());
  table.AddRequest(signedRequest.get(), 0, 1, 2);
  EXPECT_EQ(table.Count(), 2);

  const auto a = table.GetRequest(plain.get());
  ASSERT_TRUE(a);
  EXPECT_EQ(a->ID(), plain->Header().TransactionIdString());
  EXPECT_EQ(a->Method(), stmmBinding);
  EXPECT_TRUE(a->MessageIntegrityKey().empty());
  EXPECT_FALSE(a->HasParameters());
  EXPECT_EQ(a->Challenges(), 0);

  const auto b = table.GetRequest(signedRequest->Header().TransactionIdString());
  ASSERT_TRUE(b);
  EXPECT_EQ(b->MessageIntegrityKey(), TIdHashMessageDigest5::HashString("user:realm:pass"));
  EXPECT_EQ(b->Challenges(), 1);
  EXPECT_EQ(b->Redirects(), 2);
  EXPECT_EQ(table.GetMessageIntegrityKey(signedRequest->Header().TransactionIdString()), b->MessageIntegrityKey());
  EXPECT_TRUE(table.GetMessageIntegrityKey("nosuchid").empty());

  EXPECT_TRUE(table.ExistsRequest(plain.get()));
  EXPECT_TRUE(table.DeleteRequest(plain.get()));
  EXPECT_FALSE(table.ExistsRequest(plain.get()));
  EXPECT_FALSE(table.DeleteRequest(plain.get()));
  EXPECT_EQ(table.Count(), 1);
}

TEST(StunRequestsQueue, ParametersOfCreatePermissionAndChannelBind) {
  TqynSTUNRequestsQueue table;
  auto permission = Request(stmmCreatePermission, [](TqynSTUN_Message& m) {
    AddPeer(m, "10.0.0.1", 0);
    m.Attributes().Add<TqynSTUN_Attribute_SOFTWARE>()->SetSoftware("x");
    AddPeer(m, "10.0.0.2", 0);
  });
  auto channel = Request(stmmChannelBind, [](TqynSTUN_Message& m) {
    AddPeer(m, "192.0.2.5", 5000);
    m.Attributes().Add<TqynSTUN_Attribute_CHANNEL_NUMBER>()->SetChannel(0x4001);
  });
  auto channelWithoutPeer = Request(stmmChannelBind, [](TqynSTUN_Message& m) {
    m.Attributes().Add<TqynSTUN_Attribute_CHANNEL_NUMBER>()->SetChannel(0x4002);
  });
  auto allocate = Request(stmmAllocate, [](TqynSTUN_Message& m) { AddPeer(m, "10.0.0.3", 0); });
  for (auto* m : {permission.get(), channel.get(), channelWithoutPeer.get(), allocate.get()}) table.AddRequest(m);

  EXPECT_EQ(table.GetRequest(permission.get())->Parameters(), (std::vector<std::string>{"10.0.0.1", "10.0.0.2"}));
  EXPECT_EQ(table.GetRequest(channel.get())->Parameters(), (std::vector<std::string>{"192.0.2.5", "5000", "16385"}));
  EXPECT_EQ(table.GetRequest(channelWithoutPeer.get())->Parameters(), (std::vector<std::string>{"16386"}));
  EXPECT_TRUE(table.GetRequest(allocate.get())->Parameters().empty());
}

TEST(StunRequestsQueue, UnansweredEntriesAreDroppedAfterTheirRetention) {
  TqynSTUNRequestsQueue table;
  table.SetMaxAge(20);
  auto shortLived = Request(stmmBinding);
  auto longLived = Request(stmmBinding);
  table.AddRequest(shortLived.get());
  table.AddRequest(longLived.get(), 60000); // e.g. still being retransmitted
  std::this_thread::sleep_for(60ms);
  // Until a sweep, a late answer is still matched.
  EXPECT_TRUE(table.ExistsRequest(shortLived.get()));
  EXPECT_EQ(table.Purge(), 1);
  EXPECT_FALSE(table.ExistsRequest(shortLived.get()));
  EXPECT_TRUE(table.ExistsRequest(longLived.get()));
}

TEST(StunRequestsQueue, AddingSweepsExpiredEntries) {
  TqynSTUNRequestsQueue table;
  table.SetMaxAge(10);
  std::vector<std::unique_ptr<TqynSTUN_Message>> keep;
  for (int i = 0; i < 5; ++i) {
    keep.push_back(Request(stmmBinding));
    table.AddRequest(keep.back().get());
  }
  EXPECT_EQ(table.Count(), 5);
  std::this_thread::sleep_for(1100ms); // sweeps run at most once a second
  keep.push_back(Request(stmmBinding));
  table.AddRequest(keep.back().get());
  EXPECT_EQ(table.Count(), 1);
  EXPECT_TRUE(table.ExistsRequest(keep.back().get()));
}

TEST(StunRequestsQueue, TheTableKeepsAtMostMaxCountEntriesDroppingTheOldest) {
  TqynSTUNRequestsQueue table;
  table.SetMaxCount(5);
  std::vector<std::unique_ptr<TqynSTUN_Message>> requests;
  for (int i = 0; i < 8; ++i) {
    requests.push_back(Request(stmmBinding));
    table.AddRequest(requests.back().get());
    EXPECT_LE(table.Count(), 5);
  }
  EXPECT_EQ(table.Count(), 5);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(table.ExistsRequest(requests[static_cast<size_t>(i)].get()), i >= 3) << i;
}

TEST(StunRequestsQueue, DefaultBounds) {
  TqynSTUNRequestsQueue table;
  EXPECT_EQ(table.MaxCount(), 10000);
  EXPECT_EQ(table.MaxAge(), 300000u);
  auto r = Request(stmmBinding);
  const uint64_t before = QynTickCount64();
  const auto item = table.AddRequest(r.get());
  EXPECT_GE(item->Expires(), before + 300000);
}

} // namespace
