// Sequences the TURN client tests run against a real server (ours or coturn) with a loopback peer:
// data both ways through the relay, and the automatic renewal of what the client holds.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>

#include "turn_client/turn_client_test_peer.h"
#include "turn_client/turn_client_test_util.h"

namespace turn_client_test {

// Waits for a condition, giving up early when the client reported a failure; false when it did
// not hold.
using TWaitFor = std::function<bool(const std::function<bool()>&)>;
// What went wrong, for failure messages.
using TProblems = std::function<std::string()>;

// With a permission for 127.0.0.1 installed on the allocation relayed at port aRelay: a Send
// indication to aPeer and the Data indication back, then channel 0x4000 bound to aPeer and
// ChannelData both ways.
inline void RelayBothWays(TqynTURNClient& aClient, TTURNEvents& aEvents, TPeer& aPeer, uint16_t aRelay,
                          const TWaitFor& aWait, const TProblems& aProblems) {
  aClient.SendIndication("127.0.0.1", aPeer.Port(), std::string("hello via send"));
  ASSERT_TRUE(aWait([&] { return aPeer.Count() == 1; })) << aProblems();
  EXPECT_EQ(aPeer.Received(0), (std::pair<std::string, uint16_t>("hello via send", aRelay)));

  aPeer.SendTo(aRelay, "back as data");
  ASSERT_TRUE(aWait([&] { return aEvents.Size(aEvents.Data) == 1; })) << aProblems();
  EXPECT_EQ(Text(aEvents.At(aEvents.Data, 0).FData), "back as data");
  EXPECT_EQ(aEvents.At(aEvents.Data, 0).FPeerIP, "127.0.0.1");
  EXPECT_EQ(aEvents.At(aEvents.Data, 0).FPeerPort, aPeer.Port());

  aClient.ChannelBind("127.0.0.1", aPeer.Port());
  ASSERT_TRUE(aWait([&] { return aEvents.Size(aEvents.Channels) == 1; })) << aProblems();
  EXPECT_EQ(aEvents.At(aEvents.Channels, 0).FChannel, 0x4000);

  aClient.SendChannelData(0x4000, std::string("over the channel"));
  ASSERT_TRUE(aWait([&] { return aPeer.Count() == 2; })) << aProblems();
  EXPECT_EQ(aPeer.Received(1), (std::pair<std::string, uint16_t>("over the channel", aRelay)));

  aPeer.SendTo(aRelay, "channel back");
  ASSERT_TRUE(aWait([&] { return aEvents.Size(aEvents.ChannelData) == 1; })) << aProblems();
  EXPECT_EQ(aEvents.At(aEvents.ChannelData, 0).first, 0x4000);
  EXPECT_EQ(Text(aEvents.At(aEvents.ChannelData, 0).second), "channel back");
}

// Shifts aClock by 301 s, past a permission's lifetime: the client's timer renews the allocation,
// the permission and channel 0x4000, and the server accepts all three. The shift stays.
inline void RenewAllThree(TTURNEvents& aEvents, TClockShift& aClock, const TWaitFor& aWait, const TProblems& aProblems) {
  const size_t refreshes = aEvents.Size(aEvents.Refreshes);
  const size_t permissions = aEvents.Size(aEvents.Permissions);
  const size_t channels = aEvents.Size(aEvents.Channels);
  aClock.By(301);
  ASSERT_TRUE(aWait([&] {
    return aEvents.Size(aEvents.Refreshes) > refreshes && aEvents.Size(aEvents.Permissions) > permissions &&
           aEvents.Size(aEvents.Channels) > channels;
  })) << aProblems();
  EXPECT_EQ(aEvents.At(aEvents.Channels, aEvents.Size(aEvents.Channels) - 1).FChannel, 0x4000) << "re-bound with its number";
}

} // namespace turn_client_test
