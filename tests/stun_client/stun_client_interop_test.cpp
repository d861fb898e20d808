// qyn-test-labels: interop
// qyn-test-libs: qyn_stun_client
//
// The STUN client against coturn's turnserver, started by each test on a free loopback port and
// stopped by its process id: Binding over UDP and TCP, anonymous and with the long-term
// credential mechanism (turnserver --secure-stun makes Binding require it), and wrong
// credentials ending in one reported error.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "qynTCP_Client.h"
#include "stun_client/stun_client_test_util.h"

extern char** environ;

namespace {

using namespace stun_client_test;

const std::string kUser = "qyn_user";
const std::string kPassword = "kiwi_tea";
const std::string kRealm = "Qynwire";

std::string FindTool(const std::string& aName) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(std::string(path ? path : "") + ":/usr/bin:/usr/sbin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string full = dir + "/" + aName;
    struct stat st {};
    if (::stat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(full.c_str(), X_OK) == 0) return full;
  }
  return {};
}

// A loopback port free for both UDP and TCP a moment ago.
uint16_t FreePort() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    const int t = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = Loopback(0);
    ::bind(t, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(t, reinterpret_cast<sockaddr*>(&a), &len);
    const int u = ::socket(AF_INET, SOCK_DGRAM, 0);
    const bool udpFree = ::bind(u, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(u);
    ::close(t);
    if (udpFree) return ntohs(a.sin_port);
  }
  return 0;
}

// True when a Binding request to the port gets any answer within aWaitMs.
bool Answers(uint16_t aPort, int aWaitMs) {
  const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
  TqynSTUN_Message m;
  m.Header().SetMessageType_Method(stmmBinding);
  m.Header().SetMessageType_Class(stmcRequest);
  m.Header().SetMagicCookie(QYN_STUN_MAGIC_COOKIE);
  m.Header().SetTransactionId(NewTransactionId());
  const TqynBytes bytes = m.Write();
  sockaddr_in to = Loopback(aPort);
  ::sendto(s, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  pollfd p{s, POLLIN, 0};
  const bool ok = ::poll(&p, 1, aWaitMs) > 0;
  ::close(s);
  return ok;
}

// Runs turnserver for the life of the object; the destructor stops it (SIGTERM, then SIGKILL)
// and reaps it, so no process is left behind when a test fails.
class TTurnServer {
public:
  TTurnServer(bool aSecureStun, bool aTCP) {
    const std::string tool = FindTool("turnserver");
    if (tool.empty()) return;
    FLogFile = ::testing::TempDir() + "qyn_stun_client_coturn_" + std::to_string(::getpid()) + ".log";
    for (int attempt = 0; attempt < 3 && !FReady; ++attempt) {
      FPort = FreePort();
      std::vector<std::string> args = {tool,
                                       "-n",
                                       "--listening-ip", "127.0.0.1",
                                       "--relay-ip", "127.0.0.1",
                                       "--listening-port", std::to_string(FPort),
                                       "--lt-cred-mech",
                                       "--user", kUser + ":" + kPassword,
                                       "--realm", kRealm,
                                       "--fingerprint",
                                       "--no-tls", "--no-dtls", "--no-cli",
                                       "-m", "1",
                                       "--pidfile", FLogFile + ".pid",
                                       "--log-file", FLogFile,
                                       "--simple-log", "--no-stdout-log"};
      if (aSecureStun) args.push_back("--secure-stun");
      if (!aTCP) args.push_back("--no-tcp");
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      posix_spawn_file_actions_t actions;
      posix_spawn_file_actions_init(&actions);
      posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
      posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
      posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
      const int rc = posix_spawn(&FPid, tool.c_str(), &actions, nullptr, argv.data(), environ);
      posix_spawn_file_actions_destroy(&actions);
      if (rc != 0) {
        FPid = -1;
        return;
      }
      const auto end = TClock::now() + 10s;
      while (TClock::now() < end) {
        int status;
        if (::waitpid(FPid, &status, WNOHANG) == FPid) { // exited: port taken meanwhile, try again
          FPid = -1;
          break;
        }
        if (Answers(FPort, 100)) {
          FReady = true;
          break;
        }
      }
      if (!FReady) Stop();
    }
  }
  ~TTurnServer() {
    Stop();
    std::remove(FLogFile.c_str());
  }
  TTurnServer(const TTurnServer&) = delete;
  TTurnServer& operator=(const TTurnServer&) = delete;

  bool Ready() const { return FReady; }
  uint16_t Port() const { return FPort; }
  static bool Installed() { return !FindTool("turnserver").empty(); }

private:
  void Stop() {
    if (FPid <= 0) return;
    ::kill(FPid, SIGTERM);
    const auto end = TClock::now() + 5s;
    int status;
    while (::waitpid(FPid, &status, WNOHANG) != FPid) {
      if (TClock::now() > end) {
        ::kill(FPid, SIGKILL);
        ::waitpid(FPid, &status, 0);
        break;
      }
      std::this_thread::sleep_for(10ms);
    }
    FPid = -1;
  }

  pid_t FPid = -1;
  uint16_t FPort = 0;
  bool FReady = false;
  std::string FLogFile;
};

struct Coturn : ::testing::Test {
  TEvents Events;
  TqynSTUNClient Client;

  void SetUp() override {
    if (!TTurnServer::Installed()) GTEST_SKIP() << "turnserver (package coturn) is not installed";
    Events.Attach(Client);
  }
  void Start(const TTurnServer& aServer, bool aCredentials, TqynSTUNTransport aTransport = stunUDP) {
    ASSERT_TRUE(aServer.Ready()) << "turnserver did not start";
    PointAt(Client, aServer.Port());
    Client.SetTransport(aTransport);
    if (aCredentials) {
      Client.STUNOptions().Authentication.Credentials = stauLongTermCredential;
      Client.STUNOptions().Authentication.Username = kUser;
      Client.STUNOptions().Authentication.Password = kPassword;
    }
  }
  void ExpectMappedAddress(TIdPort aLocalPort) {
    ASSERT_EQ(Events.SuccessCount(), 1u);
    const auto s = Events.Success(0);
    EXPECT_EQ(s.Binding.FRemoteIP, "127.0.0.1");
    EXPECT_EQ(s.Binding.FRemotePort, aLocalPort);
    EXPECT_NE(aLocalPort, 0);
    EXPECT_EQ(s.Binding.FIPVersion, ipV4);
    EXPECT_EQ(Events.ErrorCount(), 0u);
    EXPECT_EQ(Events.ExceptionCount(), 0u) << (Events.ExceptionCount() ? Events.ExceptionText(0) : "");
  }
};

TEST_F(Coturn, AnonymousBindingOverUDP) {
  TTurnServer server(/*aSecureStun=*/false, /*aTCP=*/false);
  Start(server, false);
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.SuccessCount() == 1 || Events.ErrorCount() > 0; }));
  ExpectMappedAddress(ClientUDPPort(Client));
}

TEST_F(Coturn, LongTermCredentialsWithoutSecureStunAreNotAskedForBinding) {
  // With --lt-cred-mech alone coturn answers Binding anonymously: no challenge, nothing learned.
  TTurnServer server(false, false);
  Start(server, true);
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.SuccessCount() == 1 || Events.ErrorCount() > 0; }));
  ExpectMappedAddress(ClientUDPPort(Client));
  EXPECT_EQ(Client.Realm(), "");
}

TEST_F(Coturn, SecureStunBindingWithLongTermCredentialsOverUDP) {
  TTurnServer server(/*aSecureStun=*/true, false);
  Start(server, true);
  Client.STUNOptions().Fingerprint = true;
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.SuccessCount() == 1 || Events.ErrorCount() > 0; }));
  ExpectMappedAddress(ClientUDPPort(Client));
  EXPECT_EQ(Client.Realm(), kRealm);
  EXPECT_FALSE(Client.Nonce().empty());
  // coturn signs the answer; the client checked it with the key stored for the request.
  const auto types = Events.Success(0).Types;
  EXPECT_NE(std::find(types.begin(), types.end(), stmaMesssage_Integrity), types.end());
  EXPECT_EQ(types.back(), stmaFingerprint);
}

TEST_F(Coturn, SecureStunBindingWithLongTermCredentialsAndNoFingerprint) {
  TTurnServer server(true, false);
  Start(server, true);
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.SuccessCount() == 1 || Events.ErrorCount() > 0; }));
  ExpectMappedAddress(ClientUDPPort(Client));
}

TEST_F(Coturn, SecureStunWithoutCredentialsReportsTheChallenge) {
  TTurnServer server(true, false);
  Start(server, false);
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.ErrorCount() == 1; }));
  EXPECT_EQ(Events.Error(0).Error.FCode, 401);
  EXPECT_EQ(Events.SuccessCount(), 0u);
}

TEST_F(Coturn, SecureStunWithAWrongPasswordEndsInOneError) {
  TTurnServer server(true, false);
  Start(server, true);
  Client.STUNOptions().Authentication.Password = "not_the_password";
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.ErrorCount() == 1; }));
  EXPECT_EQ(Events.Error(0).Error.FCode, 401);
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(Events.ErrorCount(), 1u);
  EXPECT_EQ(Events.SuccessCount(), 0u);
  EXPECT_EQ(TableCount(Client), 0);
}

TEST_F(Coturn, AnonymousBindingOverTCP) {
  TTurnServer server(false, /*aTCP=*/true);
  Start(server, false, stunTCP);
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.SuccessCount() == 1 || Events.ErrorCount() > 0; }));
  const auto connection = Client.GetTCPClient()->Connection();
  ASSERT_TRUE(connection);
  ExpectMappedAddress(connection->LocalPort());
  EXPECT_EQ(Events.Success(0).Binding.FLocalPort, connection->LocalPort());
}

TEST_F(Coturn, SecureStunBindingWithLongTermCredentialsOverTCP) {
  TTurnServer server(true, true);
  Start(server, true, stunTCP);
  Client.STUNOptions().Fingerprint = true;
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.SuccessCount() == 1 || Events.ErrorCount() > 0; }));
  const auto connection = Client.GetTCPClient()->Connection();
  ASSERT_TRUE(connection);
  ExpectMappedAddress(connection->LocalPort());
  // Several requests on the one connection.
  Client.SendRequest();
  Client.SendRequest();
  ASSERT_TRUE(WaitUntil([&] { return Events.SuccessCount() == 3 || Events.ErrorCount() > 0; }));
  EXPECT_EQ(Events.ErrorCount(), 0u);
  EXPECT_EQ(Events.ExceptionCount(), 0u);
}

} // namespace
