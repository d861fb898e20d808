// qyn-test-labels: net
// qyn-test-libs: qyn_turn_client qyn_stun_client
// qyn-test-programs: relayprobe
//
// The relayprobe program against a hostile scripted server on loopback: before each real answer
// it sends unreadable bytes, a short datagram, an error and a success for transactions nobody
// asked, forged ChannelData and indications without their attributes, and data meant to pose as
// log lines. The probe reports what it cannot read, is not misled into a failure or a success,
// keeps every datum on its own line, and still succeeds on the real answers.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qyn_test_process.h"
#include "turn_client/turn_client_test_util.h"

namespace {

using namespace turn_client_test;

const std::string kProbe = QYN_PROGRAM_relayprobe;

TqynBytes Indication(TqynStunMessageMethod aMethod, const std::function<void(TqynSTUN_Message&)>& aFill) {
  TqynSTUN_Message request;
  request.Header().SetMessageType_Method(aMethod);
  request.Header().SetTransactionId(NewTransactionId());
  return BuildAnswer(request, stmcIndication, aFill);
}

std::vector<TqynBytes> Hostile(const TRequest& r) {
  std::vector<TqynBytes> out;
  out.push_back(TqynBytes(24, 0x80));                       // "Invalid Header Format"
  out.push_back(TqynBytes{0x01, 0x01, 0x00});               // shorter than a header: ignored
  TqynBytes otherId = NewTransactionId();
  out.push_back(BuildAnswer(*r.Message, stmcResponseError, [](TqynSTUN_Message& m) { AddErrorCode(m, 500, "Forged"); },
                            &otherId));
  out.push_back(BuildAnswer(*r.Message, stmcResponseSuccess, {}, &otherId));
  out.push_back(TqynBytes{0x40, 0x00, 0xFF, 0xFF, 'x'});     // ChannelData announcing more than it has
  out.push_back(Indication(stmmData, {}));                   // no XOR-PEER-ADDRESS
  out.push_back(Indication(stmmData, [](TqynSTUN_Message& m) { AddXorPeer(m, "127.0.0.1", 9); })); // no DATA
  const std::string pose = "x\n#Allocate: 6.6.6.6:6\r\n#verdict";
  std::string frame = std::string("\x40\x01\x00", 3) + static_cast<char>(pose.size()) + pose;
  frame.resize((frame.size() + 3) / 4 * 4, '\0');
  out.push_back(TqynBytes(frame.begin(), frame.end()));
  return out;
}

TEST(RelayProbeHostile, ForgedAndUnreadableDatagramsNeitherFailNorPassACommand) {
  TFakeUDPServer server([](const TRequest& r, int) -> std::vector<TqynBytes> {
    if (r.Message->Header().MessageType_Class() != stmcRequest) return {};
    std::vector<TqynBytes> out = Hostile(r);
    out.push_back(BuildAnswer(*r.Message, stmcResponseSuccess, [&](TqynSTUN_Message& m) {
      if (r.Message->Header().MessageType_Method() == stmmAllocate) {
        AddXorRelayed(m, "127.0.0.1", 50000);
        AddLifetime(m, 600);
      } else if (r.Message->Header().MessageType_Method() == stmmBinding) {
        AddXorMapped(m, "127.0.0.1", 40000);
      }
    }));
    return out;
  });
  TChildProcess probe({kProbe, "--port", std::to_string(server.Port()), "--no-credentials", "--timeout", "5", "binding",
                       "allocate", "wait", "0.5"},
                      {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"});
  EXPECT_EQ(probe.WaitExit(std::chrono::seconds(60)), 0) << probe.Out() << probe.Err();
  const std::string out = probe.Out();
  EXPECT_NE(out.find("#exception: Invalid Header Format\n"), std::string::npos) << out;
  EXPECT_NE(out.find("#binding: 127.0.0.1:40000\n"), std::string::npos) << out;
  EXPECT_NE(out.find("#Allocate: 127.0.0.1:50000\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("#error"), std::string::npos) << "a forged error counted: " << out;
  EXPECT_EQ(out.find("#binding: :0"), std::string::npos) << "a forged success counted: " << out;
  EXPECT_EQ(out.find("\n#Allocate: 6.6.6.6"), std::string::npos) << "data posed as a line: " << out;
  EXPECT_NE(out.find("#Channel Data: [16385] x\xEF\xBF\xBD#Allocate: 6.6.6.6:6\xEF\xBF\xBD\xEF\xBF\xBD#verdict\n"),
            std::string::npos)
      << out;
}

} // namespace
