// qyn-test-labels: gui
// qyn-test-libs: relayprobe_window qyn_turn_server qyn_stun_server
//
// The relayprobe window on Qt's offscreen platform: its regions, controls, defaults and the
// component's design-time settings; Binding and a whole TURN exchange against a TURN server
// component on loopback, with one log line per event; the refusals the component reports
// (no permission, no channel, a challenge without credentials); inputs that are no integer,
// which stop the action at their step and send nothing.

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "FRMSTUNClient.h"
#include "qynBase_Sync.h"
#include "qynP2P_TURN_Server.h"
#include "qynRelayProbe_Window.h"
#include "qyn_test_udp.h"
#include "qyn_test_qt.h"

// LeakSanitizer (sanitizer builds): the system's font configuration library, which Qt loads,
// keeps caches for the process's whole life and frees none of them at exit.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace {

using namespace std::chrono_literals;

QApplication& App() { return OffscreenApp("relayprobe_window_test", QynInstallRelayProbeDispatcher); }

std::string Text(const TqynBytes& aBytes) { return std::string(aBytes.begin(), aBytes.end()); }
TqynBytes Bytes(const std::string& aText) { return TqynBytes(aText.begin(), aText.end()); }
uint16_t TypeOf(const TqynBytes& aBytes) { return aBytes.size() >= 2 ? static_cast<uint16_t>(aBytes[0] << 8 | aBytes[1]) : 0; }

// The attribute type codes of a STUN datagram, in order.
std::vector<uint16_t> AttributeCodes(const TqynBytes& aBytes) {
  std::vector<uint16_t> out;
  for (size_t at = 20; at + 4 <= aBytes.size();) {
    out.push_back(static_cast<uint16_t>(aBytes[at] << 8 | aBytes[at + 1]));
    const size_t length = static_cast<size_t>(aBytes[at + 2] << 8 | aBytes[at + 3]);
    at += 4 + ((length + 3) & ~size_t{3});
  }
  return out;
}

constexpr uint16_t kBindingRequest = 0x0001;
constexpr uint16_t kAllocateRequest = 0x0003;
constexpr uint16_t kUsername = 0x0006;
constexpr uint16_t kMessageIntegrity = 0x0008;
constexpr uint16_t kFingerprint = 0x8028;

// A TURN server component on 127.0.0.1 with two bindings on ports the system picks (the second
// shows up as OTHER-ADDRESS), long-term credentials for qyn_user / kiwi_tea in realm Qynwire on
// the TURN methods, and its processing on its listener threads.
struct TTestServer {
  TqynTURNServer Server;
  TTestServer() {
    Server.SetNotifyEvents(neNoSync);
    Server.SetHost("127.0.0.1");
    Server.SetPort(0);
    Server.Bindings().Clear();
    Server.AddBinding("127.0.0.1", 0);
    Server.AddBinding("127.0.0.1", 0);
    Server.STUNOptions().Authentication.Enabled = false;
    auto& auth = Server.TURNOptions().Authentication;
    auth.Enabled = true;
    auth.LongTermCredentials.Enabled = true;
    auth.LongTermCredentials.Realm = "Qynwire";
    Server.OnSTUNRequestAuthorization = [](TqynComponent_Base*, TqynSTUN_Message*, const std::string& aUsername,
                                           const std::string& aRealm, std::string& Password) {
      Password = aUsername == "qyn_user" && aRealm == "Qynwire" ? "kiwi_tea" : "";
    };
    Server.SetActive(true);
  }
  ~TTestServer() { Server.SetActive(false); }
  TIdPort Port(int aBinding = 0) {
    TIdSocketHandle* b = Server.Bindings().Items(aBinding);
    return b ? b->Port() : 0;
  }
};

struct ProbeWindow : ::testing::Test {
  std::unique_ptr<TFRMSTUNClient> Form;
  std::vector<std::string> Shown; // messages of the exception reporter

  void SetUp() override {
    App();
    Form = std::make_unique<TFRMSTUNClient>();
    Form->OnShowException = [this](const std::string& aMessage) { Shown.push_back(aMessage); };
  }
  void TearDown() override {
    Form.reset();
    PumpUntil([] { return TqynMainThread::PendingCount() == 0; }, 1s);
  }

  std::vector<std::string> Log() const { return LogLines(*Form->memoLog); }
  bool WaitLines(size_t aCount) {
    return PumpUntil([&] { return Log().size() >= aCount; });
  }
  // Runs every call the component has queued for the main thread so far, then returns the lines
  // after the first aFrom.
  std::vector<std::string> LinesSince(size_t aFrom) {
    bool done = false;
    TqynMainThread::Post([&done] { done = true; });
    EXPECT_TRUE(PumpUntil([&] { return done; }));
    std::vector<std::string> lines = Log();
    return std::vector<std::string>(lines.begin() + static_cast<long>(std::min(aFrom, lines.size())), lines.end());
  }
  // Presses aButton and waits for the lines it brings: at least aCount after those there were.
  std::vector<std::string> Press(QPushButton* aButton, size_t aCount) {
    const size_t before = Log().size();
    aButton->click();
    EXPECT_TRUE(WaitLines(before + aCount)) << aButton->objectName().toStdString();
    return LinesSince(before);
  }
  void PointAt(TIdPort aPort) {
    Form->txtHost->setText("127.0.0.1");
    Form->txtPort->setText(QString::number(aPort));
  }
  // The port at the end of a line that starts with aPrefix (0 when it does not).
  static TIdPort PortOf(const std::string& aLine, const std::string& aPrefix) {
    if (aLine.rfind(aPrefix, 0) != 0) return 0;
    const std::string digits = aLine.substr(aPrefix.size());
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
    const int port = std::stoi(digits);
    return port <= 65535 ? static_cast<TIdPort>(port) : 0;
  }
};

// ---------------------------------------------------------------------------------------------

TEST_F(ProbeWindow, HasItsCaptionSizeRegionsControlsAndDefaults) {
  TFRMSTUNClient& f = *Form;
  EXPECT_EQ(f.windowTitle().toStdString(), "TURN Client - Qynwire");
  EXPECT_EQ(f.size(), QSize(792, 857));

  struct TEditCase {
    const char* Name;
    const char* Label;
    const char* Default;
    const char* Group;
  };
  const TEditCase edits[] = {
      {"txtHost", "Host:", "127.0.0.1", "Options"},
      {"txtPort", "Port:", "3478", "Options"},
      {"txtRTO", "RTO:", "500", "Retransmissions"},
      {"txtMaxRetries", "MaxRetries:", "7", "Retransmissions"},
      {"txtUsername", "Username:", "qyn_user", "Long Term Credentials"},
      {"txtPassword", "Password:", "kiwi_tea", "Long Term Credentials"},
      {"txtTURNRefreshLifetime", "Lifetime", "600", "TURN Methods"},
      {"txtTURNCreatePermissionPeer", "Peer Address", "192.168.1.1", "TURN Methods"},
      {"txtTURNSendIndicationPeerAddress", "Peer Address", "192.168.1.1", "TURN Methods"},
      {"txtTURNSendIndicationPeerPort", "Peer Port", "8080", "TURN Methods"},
      {"txtTURNSendIndicationData", "Data", "Hi from Qynwire.", "TURN Methods"},
      {"txtTURNChannelBindPeerAddress", "Peer Address", "192.168.1.1", "TURN Methods"},
      {"txtTURNChannelBindPeerPort", "Peer Port", "8080", "TURN Methods"},
      {"txtTURNSendChannelDataChannelId", "Channel Data", "0", "TURN Methods"},
      {"txtTURNSendChannelDataChannelData", "Data", "Hi from Qynwire.", "TURN Methods"},
  };
  for (const TEditCase& c : edits) {
    auto* edit = f.findChild<QLineEdit*>(c.Name);
    ASSERT_NE(edit, nullptr) << c.Name;
    EXPECT_EQ(edit->text().toStdString(), c.Default) << c.Name;
    EXPECT_EQ(edit->echoMode(), QLineEdit::Normal) << c.Name;
    QLabel* label = nullptr;
    for (QLabel* l : f.findChildren<QLabel*>())
      if (l->buddy() == edit) label = l;
    ASSERT_NE(label, nullptr) << c.Name;
    EXPECT_EQ(label->text().toStdString(), c.Label) << c.Name;
    auto* group = qobject_cast<QGroupBox*>(edit->parentWidget());
    ASSERT_NE(group, nullptr) << c.Name;
    EXPECT_EQ(group->title().toStdString(), c.Group) << c.Name;
  }

  struct TBoxCase {
    const char* Name;
    const char* Group;
  };
  for (const TBoxCase& c : {TBoxCase{"chkRetransmissions", "Retransmissions"}, TBoxCase{"chkLongTermCredentials", "Long Term Credentials"}}) {
    auto* box = f.findChild<QCheckBox*>(c.Name);
    ASSERT_NE(box, nullptr) << c.Name;
    EXPECT_EQ(box->text().toStdString(), "Enabled") << c.Name;
    EXPECT_TRUE(box->isChecked()) << c.Name;
    EXPECT_EQ(qobject_cast<QGroupBox*>(box->parentWidget())->title().toStdString(), c.Group) << c.Name;
  }

  struct TButtonCase {
    const char* Name;
    const char* Caption;
    const char* Group;
  };
  const TButtonCase buttons[] = {
      {"btnSTUNRequestBinding", "Request Binding", "STUN Methods"},
      {"btnTURNAllocate", "Allocate", "TURN Methods"},
      {"btnTURNRefresh", "Refresh", "TURN Methods"},
      {"btnTURNCreatePermission", "Create Permission", "TURN Methods"},
      {"btnTURNSendIndication", "Send Indication", "TURN Methods"},
      {"btnTURNChannelBind", "Channel Bind", "TURN Methods"},
      {"btnTURNSendChannelData", "Send Channel Data", "TURN Methods"},
  };
  for (const TButtonCase& c : buttons) {
    auto* button = f.findChild<QPushButton*>(c.Name);
    ASSERT_NE(button, nullptr) << c.Name;
    EXPECT_EQ(button->text().toStdString(), c.Caption) << c.Name;
    EXPECT_EQ(qobject_cast<QGroupBox*>(button->parentWidget())->title().toStdString(), c.Group) << c.Name;
  }

  ASSERT_NE(f.findChild<QPlainTextEdit*>("memoLog"), nullptr);
  EXPECT_TRUE(f.memoLog->isReadOnly());
  EXPECT_EQ(f.memoLog->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_TRUE(Log().empty());

  // The three regions: the options across the top, the methods in a column on the left below
  // them, the log filling the rest.
  f.show();
  ASSERT_TRUE(PumpUntil([&] { return f.isVisible() && f.memoLog->width() > 0; }));
  const QRect options = f.pnlOptions->geometry();
  const QRect methods = f.pnlMethods->geometry();
  const QRect log = f.memoLog->geometry();
  EXPECT_LE(options.top(), 8);
  EXPECT_GE(options.width(), f.width() - 16);
  EXPECT_GT(methods.top(), options.bottom());
  EXPECT_LE(methods.left(), 8);
  EXPECT_GT(log.top(), options.bottom());
  EXPECT_GT(log.left(), methods.right());
  EXPECT_GE(log.right(), f.width() - 8);
  EXPECT_GE(log.bottom(), f.height() - 8);
  EXPECT_GT(log.width(), methods.width());
  for (const TButtonCase& c : buttons) EXPECT_TRUE(f.findChild<QPushButton*>(c.Name)->isVisible()) << c.Name;

  // The component's design-time settings.
  TqynTURNClient& c = *f.turn_client;
  EXPECT_EQ(c.Host(), "127.0.0.1");
  EXPECT_EQ(c.Port(), 3478);
  EXPECT_EQ(c.IPVersion(), Id_IPv4);
  EXPECT_TRUE(c.RetransmissionOptions().Enabled);
  EXPECT_EQ(c.RetransmissionOptions().MaxRetries, 7);
  EXPECT_EQ(c.RetransmissionOptions().RTO, 500);
  EXPECT_FALSE(c.STUNOptions().Fingerprint);
  EXPECT_FALSE(c.STUNOptions().Software);
  EXPECT_EQ(c.STUNOptions().Authentication.Credentials, stauNone);
  EXPECT_EQ(c.Transport(), stunUDP);
  EXPECT_FALSE(c.LogFile().Enabled);
  EXPECT_EQ(c.NotifyEvents(), neAsynchronous);
  EXPECT_TRUE(c.TURNOptions().Fingerprint);
  EXPECT_FALSE(c.TURNOptions().Software);
  EXPECT_EQ(c.TURNOptions().Authentication.Credentials, stauLongTermCredential);
  EXPECT_EQ(c.TURNOptions().Allocation.Lifetime, 600u);
  EXPECT_FALSE(c.TURNOptions().AutoRefresh.Enabled);
  EXPECT_TRUE(c.TURNOptions().AutoRefresh.Allocations.Enabled);
  EXPECT_TRUE(c.TURNOptions().AutoRefresh.Permissions.Enabled);
  EXPECT_TRUE(c.TURNOptions().AutoRefresh.Channels.Enabled);
  EXPECT_TRUE(c.OnSTUNException && c.OnSTUNResponseError && c.OnSTUNResponseSuccess && c.OnTURNAllocate && c.OnTURNRefresh &&
              c.OnTURNCreatePermission && c.OnTURNChannelBind && c.OnTURNChannelData && c.OnTURNDataIndication);
  EXPECT_FALSE(c.OnSTUNBeforeSend);
  EXPECT_FALSE(c.OnTURNICMPIndication);
}

TEST_F(ProbeWindow, RequestBindingLogsTheBindingThenItsAttributesInArrivalOrder) {
  TTestServer server;
  ASSERT_TRUE(server.Server.Active());
  PointAt(server.Port());
  const std::vector<std::string> lines = Press(Form->btnSTUNRequestBinding, 5);
  const std::string s = "127.0.0.1:" + std::to_string(server.Port());
  ASSERT_EQ(lines.size(), 5u) << ::testing::PrintToString(lines);
  EXPECT_NE(PortOf(lines[0], "#binding: 127.0.0.1:"), 0) << lines[0];
  // The server's order: mapped addresses (no line), RESPONSE-ORIGIN, SOURCE-ADDRESS,
  // OTHER-ADDRESS, SOFTWARE.
  const std::vector<std::string> attributes(lines.begin() + 1, lines.end());
  EXPECT_EQ(attributes, (std::vector<std::string>{"#response_origin: " + s, "#source_address: " + s,
                                                  "#other_address: 127.0.0.1:" + std::to_string(server.Port(1)),
                                                  "#software: Qynwire 4.5.2"}));
  // Binding is sent without credentials even with the box ticked: no challenge, no error.
  EXPECT_EQ(Form->turn_client->STUNOptions().Authentication.Credentials, stauNone);
  EXPECT_TRUE(Shown.empty());
}

TEST_F(ProbeWindow, RunsAWholeTURNExchangeWithOneLinePerEvent) {
  TTestServer server;
  RawClient peer;
  ASSERT_TRUE(peer.Ok());
  PointAt(server.Port());
  const std::string peerText = "127.0.0.1:" + std::to_string(peer.Port());

  // Allocate answers the challenge with the window's credentials.
  std::vector<std::string> lines = Press(Form->btnTURNAllocate, 1);
  ASSERT_EQ(lines.size(), 1u);
  const TIdPort relay = PortOf(lines[0], "#Allocate: 127.0.0.1:");
  ASSERT_NE(relay, 0) << lines[0];

  Form->txtTURNCreatePermissionPeer->setText("127.0.0.1");
  lines = Press(Form->btnTURNCreatePermission, 1);
  // Each address is followed by a line break, so the entry ends with an empty line.
  EXPECT_EQ(lines, (std::vector<std::string>{"#Create Permission: 127.0.0.1", ""}));

  // Send indication out, Data indication back.
  Form->txtTURNSendIndicationPeerAddress->setText("127.0.0.1");
  Form->txtTURNSendIndicationPeerPort->setText(QString::number(peer.Port()));
  Form->btnTURNSendIndication->click();
  uint16_t from = 0;
  TqynBytes got;
  ASSERT_TRUE(PumpUntil([&] { return !(got = peer.Receive(1, &from)).empty(); }));
  EXPECT_EQ(Text(got), "Hi from Qynwire.");
  EXPECT_EQ(from, relay);
  size_t before = Log().size();
  peer.Send(relay, Bytes("pong"));
  ASSERT_TRUE(WaitLines(before + 1));
  EXPECT_EQ(LinesSince(before), std::vector<std::string>{"#Data Indication: [" + peerText + "] pong"});

  // A channel, ChannelData out and back, the text sent and shown as UTF-8.
  Form->txtTURNChannelBindPeerAddress->setText("127.0.0.1");
  Form->txtTURNChannelBindPeerPort->setText(QString::number(peer.Port()));
  EXPECT_EQ(Press(Form->btnTURNChannelBind, 1), std::vector<std::string>{"#Channel Bind: 16384"});
  Form->txtTURNSendChannelDataChannelId->setText("16384");
  Form->txtTURNSendChannelDataChannelData->setText(QString::fromUtf8("gr\u00fc\u00dfe"));
  Form->btnTURNSendChannelData->click();
  ASSERT_TRUE(PumpUntil([&] { return !(got = peer.Receive(1, &from)).empty(); }));
  EXPECT_EQ(Text(got), "gr\u00fc\u00dfe");
  before = Log().size();
  peer.Send(relay, Bytes("zur\u00fcck"));
  ASSERT_TRUE(WaitLines(before + 1));
  EXPECT_EQ(LinesSince(before), std::vector<std::string>{"#Channel Data: [16384] zur\u00fcck"});

  Form->txtTURNRefreshLifetime->setText("0");
  EXPECT_EQ(Press(Form->btnTURNRefresh, 1), std::vector<std::string>{"#Refresh: 0"});
  EXPECT_TRUE(Shown.empty());
}

TEST_F(ProbeWindow, AllocateWithTheBoxClearedIsRefusedWith401) {
  TTestServer server;
  PointAt(server.Port());
  Form->chkLongTermCredentials->setChecked(false);
  EXPECT_EQ(Press(Form->btnTURNAllocate, 1), std::vector<std::string>{"#error: 401 Unauthorized"});
  EXPECT_EQ(Form->turn_client->TURNOptions().Authentication.Credentials, stauNone);
  EXPECT_FALSE(Form->turn_client->TURNOptions().Fingerprint);
  // No second, signed attempt follows.
  EXPECT_TRUE(LinesSince(1).empty());
  EXPECT_EQ(server.Server.GetAllocations()->Count(), 0);

  // What went out: an Allocate without USERNAME, MESSAGE-INTEGRITY and FINGERPRINT.
  RawClient fake;
  PointAt(fake.Port());
  Form->btnTURNAllocate->click();
  TqynBytes sent;
  ASSERT_TRUE(PumpUntil([&] { return !(sent = fake.Receive(1)).empty(); }));
  EXPECT_EQ(TypeOf(sent), kAllocateRequest);
  for (uint16_t code : AttributeCodes(sent)) {
    EXPECT_NE(code, kUsername);
    EXPECT_NE(code, kMessageIntegrity);
    EXPECT_NE(code, kFingerprint);
  }
}

// The operations the component refuses before sending: no permission for the peer, a channel
// number not in the list. One exception line each, and nothing goes out.
struct ProbeRefused : ProbeWindow {
  RawClient Fake; // stands in for the server: receives what the window sends

  void SetUp() override {
    ProbeWindow::SetUp();
    ASSERT_TRUE(Fake.Ok());
    PointAt(Fake.Port());
    Form->chkRetransmissions->setChecked(false);
  }
  // Presses Request Binding and reads what arrived up to its request: only that request.
  void ExpectNothingSentBefore() {
    Form->btnSTUNRequestBinding->click();
    std::vector<uint16_t> types;
    ASSERT_TRUE(PumpUntil([&] {
      const TqynBytes got = Fake.Receive(1);
      if (!got.empty()) types.push_back(TypeOf(got));
      return !types.empty() && types.back() == kBindingRequest;
    }));
    EXPECT_EQ(types, std::vector<uint16_t>{kBindingRequest});
  }
};

TEST_F(ProbeRefused, SendIndicationBeforeAnyPermission) {
  EXPECT_EQ(Press(Form->btnTURNSendIndication, 1),
            std::vector<std::string>{"#exception: There is not Valid permission for IP Address: 192.168.1.1"});
  ExpectNothingSentBefore();
  EXPECT_TRUE(Shown.empty());
}

TEST_F(ProbeRefused, SendChannelDataOnChannelZero) {
  EXPECT_EQ(Press(Form->btnTURNSendChannelData, 1), std::vector<std::string>{"#exception: Channel ID: 0 not exists."});
  ExpectNothingSentBefore();
  EXPECT_TRUE(Shown.empty());
}

// An input that is no integer stops the action at its step with the conversion error; what was
// copied before that step stays in the component, nothing is sent and nothing is logged.
TEST_F(ProbeRefused, InputThatIsNoIntegerStopsTheActionAtItsStep) {
  // The port, the second field copied, through the window system's real message box.
  Form->OnShowException = nullptr;
  Form->txtHost->setText("localhost");
  Form->txtPort->setText("80a");
  std::string shown;
  QTimer closer;
  QObject::connect(&closer, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    shown = box->text().toStdString();
    box->accept();
  });
  closer.start(10);
  Form->btnTURNAllocate->click();
  closer.stop();
  EXPECT_EQ(shown, "'80a' is not a valid integer value");
  EXPECT_EQ(Form->turn_client->Host(), "localhost");
  EXPECT_EQ(Form->turn_client->Port(), 3478);
  EXPECT_TRUE(Form->turn_client->RetransmissionOptions().Enabled);
  Form->OnShowException = [this](const std::string& aMessage) { Shown.push_back(aMessage); };
  PointAt(Fake.Port());
  ExpectNothingSentBefore();

  struct TCase {
    QLineEdit* Field;
    const char* Text;
    QPushButton* Button;
    const char* Message;
  };
  TFRMSTUNClient& f = *Form;
  const TCase cases[] = {
      {f.txtRTO, "5x", f.btnSTUNRequestBinding, "'5x' is not a valid integer value"},
      {f.txtMaxRetries, "", f.btnTURNAllocate, "'' is not a valid integer value"},
      {f.txtPort, "70000", f.btnTURNAllocate, "'70000' is not a valid port number (0 - 65535)"},
      {f.txtTURNRefreshLifetime, "-1", f.btnTURNRefresh, "'-1' is not a valid lifetime (0 - 2147483647)"},
      {f.txtTURNRefreshLifetime, "6OO", f.btnTURNRefresh, "'6OO' is not a valid integer value"},
      {f.txtTURNSendIndicationPeerPort, "80 80", f.btnTURNSendIndication, "'80 80' is not a valid integer value"},
      {f.txtTURNChannelBindPeerPort, "99999999999", f.btnTURNChannelBind, "'99999999999' is not a valid integer value"},
      {f.txtTURNSendChannelDataChannelId, "65536", f.btnTURNSendChannelData,
       "'65536' is not a valid channel number (0 - 65535)"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Text);
    const QString good = c.Field->text();
    c.Field->setText(QString::fromUtf8(c.Text));
    // A field copied before the failing step takes effect all the same.
    f.txtUsername->setText(QString::fromStdString(std::string("user ") + c.Text));
    f.chkRetransmissions->setChecked(true);
    const size_t before = Log().size();
    Shown.clear();
    c.Button->click();
    EXPECT_EQ(Shown, std::vector<std::string>{c.Message});
    EXPECT_TRUE(LinesSince(before).empty());
    const bool credentialsCopied = c.Field != f.txtRTO && c.Field != f.txtMaxRetries && c.Field != f.txtPort;
    EXPECT_EQ(f.turn_client->TURNOptions().Authentication.Username == f.txtUsername->text().toStdString(), credentialsCopied);
    EXPECT_EQ(f.turn_client->RetransmissionOptions().Enabled, c.Field != f.txtPort);
    c.Field->setText(good);
    f.chkRetransmissions->setChecked(false);
    ExpectNothingSentBefore();
  }
}

} // namespace
