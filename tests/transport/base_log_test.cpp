// qyn-test-labels: unit
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "qynBase_Classes.h"
#include "qynId_Exceptions.h"

namespace {

std::string ReadFile(const std::string& aPath) {
  std::ifstream in(aPath, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<std::string> SplitLines(const std::string& aText) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t pos; (pos = aText.find("\r\n", start)) != std::string::npos; start = pos + 2)
    lines.push_back(aText.substr(start, pos - start));
  EXPECT_EQ(start, aText.size()) << "text after the last line end";
  return lines;
}

class LogFile : public ::testing::Test {
protected:
  void SetUp() override {
    Path = ::testing::TempDir() + "qyn_base_log_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log";
    std::remove(Path.c_str());
    Log.SetFilename(Path);
  }
  void TearDown() override { std::remove(Path.c_str()); }
  std::string Path;
  TqynIdUDPLogFile Log;
};

} // namespace

TEST_F(LogFile, LineFormatsKeepBinaryBytes) {
  const std::string binary("\x00\x01\x02", 3);
  Log.LogRecvString(binary);
  Log.LogSendString("hello");
  Log.LogStatus("started");
  Log.LogSendBytes({});
  Log.LogRecvBytes({}); // a received datagram of length 0 writes no line
  Log.LogRecvString("");
  Log.LogSendDecodedString("dec");
  Log.LogRecvDecodedString("rdec");
  EXPECT_FALSE(Log.Active()); // closed after every line

  const std::string content = ReadFile(Path);
  const auto lines = SplitLines(content);
  ASSERT_EQ(lines.size(), 6u);
  const std::string time = QynLogTimeText();
  auto check = [&](const std::string& aLine, const std::string& aPrefix, const std::string& aText) {
    ASSERT_EQ(aLine.rfind(aPrefix, 0), 0u) << aLine;
    const size_t sep = aLine.find(": ", aPrefix.size());
    ASSERT_NE(sep, std::string::npos);
    EXPECT_EQ(aLine.substr(sep + 2), aText);
    EXPECT_EQ(aLine.substr(aPrefix.size(), sep - aPrefix.size()).size(), time.size());
  };
  check(lines[0], "Recv ", binary);
  check(lines[1], "Sent ", "hello");
  EXPECT_EQ(lines[2], "Stat started");
  check(lines[3], "Sent ", "");
  check(lines[4], "Sent ", "dec");
  check(lines[5], "Recv ", "rdec");
  // The three bytes sit exactly between ": " and "\r\n".
  const size_t at = content.find(std::string(": ") + binary + "\r\n");
  EXPECT_NE(at, std::string::npos);
}

TEST_F(LogFile, AppendsToAnExistingFile) {
  {
    std::ofstream out(Path, std::ios::binary);
    out << "old\r\n";
  }
  Log.LogStatus("new");
  EXPECT_EQ(ReadFile(Path), "old\r\nStat new\r\n");
}

TEST_F(LogFile, ConcurrentLinesNeverMix) {
  constexpr int KThreads = 4, KLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < KThreads; ++t)
    threads.emplace_back([&, t] {
      const std::string text(100, static_cast<char>('a' + t));
      for (int i = 0; i < KLines; ++i) Log.LogSendString(text);
    });
  for (auto& th : threads) th.join();
  const auto lines = SplitLines(ReadFile(Path));
  ASSERT_EQ(lines.size(), static_cast<size_t>(KThreads * KLines));
  for (const auto& line : lines) {
    const std::string text = line.substr(line.size() - 100);
    EXPECT_EQ(text, std::string(100, text[0]));
  }
}

TEST_F(LogFile, UnwritablePathRaises) {
  Log.SetFilename(::testing::TempDir() + "no/such/dir/x.log");
  EXPECT_THROW(Log.LogStatus("x"), EIdException);
  EXPECT_EQ(Log.Filename(), ::testing::TempDir() + "no/such/dir/x.log");
}

TEST(GuidText, ThirtyTwoUpperHexDigitsOfAVersion4Guid) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    const std::string g = NewGuidText();
    ASSERT_EQ(g.size(), 32u);
    for (char c : g) EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(c)) || (c >= 'A' && c <= 'F')) << g;
    EXPECT_EQ(g[12], '4') << g;
    EXPECT_NE(std::string("89AB").find(g[16]), std::string::npos) << g;
    seen.insert(g);
  }
  EXPECT_EQ(seen.size(), 200u);
}

namespace {
class TServerLike : public TqynUDPSocket {
public:
  explicit TServerLike(int aOwner) : Owner(aOwner) {}
  std::shared_ptr<TqynSocketConnection_Base> Clone() const override {
    auto copy = std::make_shared<TServerLike>(Owner);
    copy->AssignCopy(*this);
    return copy;
  }
  void WriteData(const TqynBytes&) override { throw Exception("cannot send"); }
  void WriteData(const std::string&) override {}
  void Send() {
    try {
      WriteData(TqynBytes{1});
    } catch (const Exception& E) {
      ReportException(E);
    }
  }
  int Owner;
};
} // namespace

// While a datagram is delivered MsgRead reads the deliverer's bytes; when the delivery ends the
// object keeps a copy only if asked to (it is still held elsewhere).
TEST(SocketConnection, MsgReadViewAndItsEnd) {
  TServerLike s(1);
  TqynBytes bytes = {1, 2, 3};
  s.SetMsgReadView(&bytes);
  EXPECT_EQ(s.MsgRead(), bytes);
  bytes.push_back(4); // the view follows the bytes it reads
  EXPECT_EQ(s.MsgRead(), (TqynBytes{1, 2, 3, 4}));
  s.EndMsgReadView(true);
  bytes.assign({9});
  EXPECT_EQ(s.MsgRead(), (TqynBytes{1, 2, 3, 4})); // an own copy now

  s.SetMsgReadView(&bytes);
  EXPECT_EQ(s.MsgRead(), TqynBytes{9});
  s.EndMsgReadView(false);
  EXPECT_TRUE(s.MsgRead().empty());

  s.SetMsgReadView(&bytes);
  s.SetMsgRead({5}); // setting the bytes ends the view
  bytes.assign({6});
  EXPECT_EQ(s.MsgRead(), TqynBytes{5});
  s.EndMsgReadView(true);
  EXPECT_EQ(s.MsgRead(), TqynBytes{5});
}

TEST(SocketConnection, GuidFieldsLocksAndPolymorphicCopy) {
  TServerLike s(42);
  EXPECT_EQ(s.Transport(), trpUDP);
  const std::string guid = s.Guid();
  EXPECT_EQ(guid.size(), 32u);
  EXPECT_EQ(s.Guid(), guid); // stored on the first read
  s.SetIP("::1");
  s.SetPort(1234);
  s.SetLocalIP("::");
  s.SetLocalPort(3478);
  s.SetIPVersion(Id_IPv6);
  s.SetMsgRead({7});
  s.AddRecBytes(10);
  s.AddSendBytes(3);
  auto log = std::make_shared<TqynIdUDPLogFile>();
  s.SetLogFile(log);
  std::vector<std::string> routed;
  s.SetExceptionRouting([&](TqynSocketConnection* aSocket, const Exception& E) {
    routed.push_back(E.Message() + "@" + aSocket->IP());
  });

  auto base = s.Clone();
  auto copy = std::dynamic_pointer_cast<TServerLike>(base);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->Owner, 42);
  EXPECT_EQ(copy->Guid(), guid);
  EXPECT_EQ(copy->IP(), "::1");
  EXPECT_EQ(copy->Port(), 1234);
  EXPECT_EQ(copy->LocalIP(), "::");
  EXPECT_EQ(copy->LocalPort(), 3478);
  EXPECT_EQ(copy->IPVersion(), Id_IPv6);
  EXPECT_EQ(copy->Transport(), trpUDP);
  EXPECT_EQ(copy->LogFile(), log);
  EXPECT_TRUE(copy->MsgRead().empty()); // the bytes travel in the record, not the copy
  EXPECT_EQ(copy->RecBytes(), 0u);
  copy->Send();
  EXPECT_EQ(routed, (std::vector<std::string>{"cannot send@::1"}));

  s.EnterCS();
  s.EnterCS(0);
  s.LeaveCS(0);
  s.LeaveCS();
  EXPECT_THROW(s.EnterCS(-1), EListError);
  EXPECT_FALSE(s.Freed());
  s.MarkFreed();
  EXPECT_TRUE(s.Freed());
}

TEST(OptionRecords, DefaultsAndAssign) {
  EXPECT_EQ(static_cast<int>(neNoSync), 0);
  EXPECT_EQ(static_cast<int>(neSynchronous), 2);
  EXPECT_EQ(static_cast<int>(trpTCP), 5);
  EXPECT_EQ(static_cast<int>(trpUDP), 9);
  EXPECT_EQ(static_cast<int>(trpQUIC), 10);

  TqynUDPLogFile log;
  EXPECT_FALSE(log.Enabled);
  EXPECT_TRUE(log.FileName.empty());
  TqynUDPWatchDog_Options wd;
  EXPECT_FALSE(wd.Enabled);
  EXPECT_EQ(wd.Interval, 60);
  EXPECT_EQ(wd.Attempts, 0);
  TqynUDPHeartBeat_Options hb;
  EXPECT_FALSE(hb.Enabled);
  EXPECT_EQ(hb.Interval, 60);
  TqynSocketThrottle th;
  EXPECT_FALSE(th.Enabled);
  TqynUDPProxy_Options px;
  EXPECT_FALSE(px.Enabled);
  EXPECT_EQ(px.ProxyType, pxyHTTP);
  TqynUDPTLS_Options tls;
  EXPECT_FALSE(tls.VerifyCertificate);
  EXPECT_EQ(tls.VerifyDepth, 0);
  EXPECT_EQ(tls.Version, tlsUndefined);
  EXPECT_EQ(tls.IOHandler, iohOpenSSL);
  EXPECT_EQ(tls.OpenSSL_Options.APIVersion, oslAPI_1_0);
  EXPECT_EQ(tls.OpenSSL_Options.LibPath, oslpNone);
  EXPECT_EQ(tls.SChannel_Options.CertStoreName, scsnMY);
  EXPECT_EQ(tls.SChannel_Options.CertStorePath, scspStoreCurrentUser);

  TqynUDPTLS_Options other;
  other.CertFile = "c.pem";
  other.ALPNProtocols = {"stun.turn"};
  other.SChannel_Options.CipherList = "x";
  other.Version = tls1_3;
  tls.Assign(other);
  EXPECT_EQ(tls.CertFile, "c.pem");
  EXPECT_EQ(tls.ALPNProtocols, std::vector<std::string>{"stun.turn"});
  EXPECT_EQ(tls.SChannel_Options.CipherList, "x");
  EXPECT_EQ(tls.Version, tls1_3);
  wd.Attempts = 3;
  TqynUDPWatchDog_Options wd2;
  wd2.Assign(wd);
  EXPECT_EQ(wd2.Attempts, 3);
}
