// qyn-test-labels: gui
// qyn-test-libs: qyn_relaykeeper_window qyn_turn_server qyn_stun_server
//
// The relaykeeper window on Qt's offscreen platform: its controls and defaults, the first Start,
// Allocate with and without the window's credentials, moving the server to another port, Stop,
// a port text that is no number, a port that cannot be bound, and a restart that drops the
// allocations of the previous run.

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "FRMTURNServer.h"
#include "apps/relaykeeper/relaykeeper_test_client.h"
#include "qynBase_Sync.h"
#include "qyn_test_qt.h"

// LeakSanitizer (sanitizer builds): the system's font configuration library, which Qt loads,
// keeps caches for the process's whole life and frees none of them at exit.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace {

using namespace std::chrono_literals;

QApplication& App() { return OffscreenApp("relaykeeper_window_test", InstallQtMainThreadDispatcher); }

// A port that was free a moment ago (bound and released again).
TIdPort FreePort() {
  RawClient probe;
  return probe.Port();
}

struct Window : ::testing::Test {
  std::unique_ptr<TFRMTURNServer> Form;
  std::string DefaultPortText;

  // Opens the window with txtPort set to 0 before its first Start (any free port).
  void Open() {
    App();
    Form = std::make_unique<TFRMTURNServer>(nullptr, [this](TFRMTURNServer& f) {
      DefaultPortText = f.txtPort->text().toStdString();
      f.txtPort->setText("0");
    });
    ASSERT_TRUE(WaitLines(1));
  }
  ~Window() override {
    Form.reset();
    PumpUntil([] { return TqynMainThread::PendingCount() == 0; }, 1s);
  }

  std::vector<std::string> Log() const { return LogLines(*Form->memoLog); }
  bool WaitLines(size_t aCount) {
    return PumpUntil([&] { return Log().size() >= aCount; });
  }
  // Waits for a marker line queued after everything the window has logged so far, and returns
  // the lines before it that came after aFrom.
  std::vector<std::string> LinesSince(size_t aFrom) {
    const std::string marker = "marker " + std::to_string(++FMarkers);
    Form->DoLog(marker);
    EXPECT_TRUE(PumpUntil([&] { return !Log().empty() && Log().back() == marker; }));
    std::vector<std::string> lines = Log();
    lines.pop_back();
    return std::vector<std::string>(lines.begin() + static_cast<long>(std::min(aFrom, lines.size())), lines.end());
  }
  TIdPort ServerPort() const {
    TIdSocketHandle* b = Form->turn_server->Bindings().Items(0);
    return b ? b->Port() : 0;
  }
  void Start(const std::string& aPort) {
    Form->txtPort->setText(QString::fromStdString(aPort));
    Form->btnStart->click();
  }
  // No program listens on aPort any more: the test can bind it itself.
  static bool PortIsFree(TIdPort aPort) { return RawClient(AF_INET, aPort).Ok(); }

  TTestTurnClient Client{Pump};
  int FMarkers = 0;
};

TEST_F(Window, OpensWithItsControlsAndDefaultsAndStartsAtOnce) {
  Open();
  TFRMTURNServer& f = *Form;
  EXPECT_EQ(f.windowTitle().toStdString(), "STUN / TURN Server - Qynwire");
  EXPECT_EQ(f.size(), QSize(529, 556));
  EXPECT_EQ(f.font().family().toStdString(), "Tahoma");
  EXPECT_EQ(f.font().pointSize(), 8);

  struct TControl {
    const char* Name;
    const char* Text;
  };
  const TControl labels[] = {{"Label1", "Options"}, {"Label6", "Options"}, {"Label2", "Host:"}, {"Label3", "Port:"},
                             {"Label4", "User"},    {"Label5", "Password"}, {"Label7", "Realm"}};
  for (const TControl& c : labels) {
    auto* label = f.findChild<QLabel*>(c.Name);
    ASSERT_NE(label, nullptr) << c.Name;
    EXPECT_EQ(label->text().toStdString(), c.Text) << c.Name;
  }
  EXPECT_TRUE(f.Label1->font().bold());
  EXPECT_TRUE(f.Label6->font().bold());
  const TControl edits[] = {{"txtHost", "127.0.0.1"}, {"txtUsername", "qyn_user"}, {"txtPassword", "kiwi_tea"}, {"txtRealm", "Qynwire"}};
  for (const TControl& c : edits) {
    auto* edit = f.findChild<QLineEdit*>(c.Name);
    ASSERT_NE(edit, nullptr) << c.Name;
    EXPECT_EQ(edit->text().toStdString(), c.Text) << c.Name;
    EXPECT_EQ(edit->echoMode(), QLineEdit::Normal) << c.Name;
  }
  EXPECT_EQ(DefaultPortText, "3478");
  ASSERT_NE(f.findChild<QLineEdit*>("txtPort"), nullptr);
  ASSERT_NE(f.findChild<QPushButton*>("btnStart"), nullptr);
  EXPECT_EQ(f.btnStart->text().toStdString(), "Start");
  ASSERT_NE(f.findChild<QPushButton*>("btnStop"), nullptr);
  EXPECT_EQ(f.btnStop->text().toStdString(), "Stop");
  ASSERT_NE(f.findChild<QCheckBox*>("chkLongTermCredentials"), nullptr);
  EXPECT_EQ(f.chkLongTermCredentials->text().toStdString(), "TURN Long-Term Credentials");
  EXPECT_TRUE(f.chkLongTermCredentials->isChecked());
  ASSERT_NE(f.findChild<QWidget*>("pnlServerActive"), nullptr);
  ASSERT_NE(f.findChild<QWidget*>("pnlServerOptions"), nullptr);
  EXPECT_EQ(f.btnStart->parentWidget(), f.pnlServerActive);
  EXPECT_EQ(f.txtHost->parentWidget(), f.pnlServerOptions);
  ASSERT_NE(f.findChild<QPlainTextEdit*>("memoLog"), nullptr);
  EXPECT_TRUE(f.memoLog->isReadOnly());
  EXPECT_EQ(f.memoLog->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);

  // The first Start, from FormCreate.
  EXPECT_EQ(Log(), std::vector<std::string>{"#start server"});
  TqynTURNServer& s = *f.turn_server;
  EXPECT_TRUE(s.Active());
  EXPECT_EQ(s.NotifyEvents(), neAsynchronous);
  EXPECT_EQ(s.Bindings().Count(), 1);
  EXPECT_EQ(s.Bindings().Items(0)->IP(), "127.0.0.1");
  // The design-time settings that Start leaves alone.
  EXPECT_FALSE(s.STUNOptions().Fingerprint);
  EXPECT_TRUE(s.STUNOptions().Software);
  EXPECT_FALSE(s.STUNOptions().Authentication.Enabled);
  EXPECT_TRUE(s.STUNOptions().BindingAttributes.MappedAddressRFC3489);
  EXPECT_TRUE(s.STUNOptions().BindingAttributes.OtherAddress);
  EXPECT_FALSE(s.STUNOptions().BindingAttributes.AlternateServer.Enabled);
  EXPECT_FALSE(s.LogFile().Enabled);
  EXPECT_TRUE(s.TURNOptions().Fingerprint);
  EXPECT_TRUE(s.TURNOptions().Software);
  EXPECT_EQ(s.TURNOptions().Allocation.DefaultLifeTime, 600u);
  EXPECT_EQ(s.TURNOptions().Allocation.MaxLifeTime, 3600u);
  EXPECT_EQ(s.TURNOptions().Allocation.MinPort, 49152);
  EXPECT_EQ(s.TURNOptions().Allocation.MaxPort, 65535);
  EXPECT_EQ(s.TURNOptions().Allocation.MaxUserAllocations, 0);
  EXPECT_TRUE(s.TURNOptions().Authentication.Enabled);
  EXPECT_TRUE(s.TURNOptions().Authentication.LongTermCredentials.Enabled);
  EXPECT_EQ(s.TURNOptions().Authentication.LongTermCredentials.Realm, "Qynwire");
  EXPECT_FALSE(s.TURNOptions().Authentication.ShortTermCredentials.Enabled);

  // Binding requests are answered without credentials.
  TqynSTUN_Message answer;
  ASSERT_TRUE(Client.Binding(ServerPort(), answer));
  EXPECT_EQ(answer.Header().MessageType_Class(), stmcResponseSuccess);
}

TEST_F(Window, AllocatesWithTheWindowsCredentialsOnly) {
  Open();
  TqynSTUN_Message m;
  // Unsigned: the challenge names the window's realm.
  ASSERT_TRUE(Client.Allocate(ServerPort(), m));
  EXPECT_EQ(ErrorOf(m).first, 401);
  ASSERT_NE(m.Attributes().GetAttribute<TqynSTUN_Attribute_REALM>(stmaRealm), nullptr);
  EXPECT_EQ(m.Attributes().GetAttribute<TqynSTUN_Attribute_REALM>(stmaRealm)->Realm(), "Qynwire");

  // Another user, or a wrong password: the window gives no password, the integrity check fails,
  // the client gets 401 with a new nonce and the log shows the exception.
  for (const auto& [user, password] : {std::pair<std::string, std::string>{"someone", "kiwi_tea"}, {"qyn_user", "green_tea"}}) {
    const size_t before = Log().size();
    TTestTurnClient other(Pump, 500 + 10 * static_cast<int>(before));
    EXPECT_FALSE(other.Allocate(ServerPort(), m, user, password, 0));
    ASSERT_TRUE(PumpUntil([&] { return Log().size() > before; }));
    EXPECT_EQ(Log().back(), "#exception: Invalid Message Integrity") << user;
    TqynSTUN_Message refusal;
    const TqynBytes answer = other.Socket.Receive(5000);
    ASSERT_FALSE(answer.empty()) << user;
    ReadResponse(answer, refusal);
    EXPECT_EQ(ErrorOf(refusal).first, 401) << user;
  }

  // An edited realm counts only after the next Start.
  Form->txtRealm->setText("Elsewhere");
  ASSERT_TRUE(Client.Allocate(ServerPort(), m, "qyn_user", "kiwi_tea"));
  const TIdPort relay = TTestTurnClient::RelayedPort(m);
  ASSERT_NE(relay, 0) << ErrorOf(m).first << " " << ErrorOf(m).second;
  EXPECT_EQ(LinesSince(3), std::vector<std::string>{"New Allocation: 127.0.0.1:" + std::to_string(relay)});
}

TEST_F(Window, UntickedBoxAndStartAllocatesWithoutCredentials) {
  Open();
  Form->chkLongTermCredentials->setChecked(false);
  Start("0");
  ASSERT_TRUE(WaitLines(2));
  EXPECT_EQ(Log()[1], "#start server");
  EXPECT_FALSE(Form->turn_server->TURNOptions().Authentication.Enabled);
  TqynSTUN_Message m;
  ASSERT_TRUE(Client.Allocate(ServerPort(), m));
  EXPECT_NE(TTestTurnClient::RelayedPort(m), 0) << ErrorOf(m).first;
}

TEST_F(Window, StartOnAnotherPortMovesTheServer) {
  Open();
  const TIdPort oldPort = ServerPort();
  const TIdPort newPort = FreePort();
  ASSERT_NE(newPort, oldPort);
  Start(std::to_string(newPort));
  ASSERT_TRUE(WaitLines(2));
  EXPECT_EQ(Log()[1], "#start server");
  EXPECT_EQ(ServerPort(), newPort);
  EXPECT_EQ(Form->turn_server->Bindings().Count(), 1);
  TqynSTUN_Message m;
  ASSERT_TRUE(Client.Binding(newPort, m));
  EXPECT_EQ(m.Header().MessageType_Class(), stmcResponseSuccess);
  EXPECT_TRUE(PortIsFree(oldPort));
}

TEST_F(Window, StopLogsAndReleasesThePort) {
  Open();
  const TIdPort port = ServerPort();
  Form->btnStop->click();
  ASSERT_TRUE(WaitLines(2));
  EXPECT_EQ(Log()[1], "#stop server");
  EXPECT_FALSE(Form->turn_server->Active());
  EXPECT_TRUE(PortIsFree(port));
}

TEST_F(Window, PortTextThatIsNoNumberShowsTheConversionErrorAndLogsNothing) {
  Open();
  struct TCase {
    const char* Text;
    const char* Message;
  };
  const TCase cases[] = {{"abc", "'abc' is not a valid integer value"},
                         {"", "'' is not a valid integer value"},
                         {"34 78", "'34 78' is not a valid integer value"},
                         {"99999999999", "'99999999999' is not a valid integer value"},
                         {"70000", "'70000' is not a valid port number (0 - 65535)"}};
  for (const TCase& c : cases) {
    // The window system's message box, found and closed as a user would.
    std::string shown;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box) return;
      shown = box->text().toStdString();
      box->accept();
    });
    closer.start(10);
    const size_t before = Log().size();
    Start(c.Text);
    closer.stop();
    EXPECT_EQ(shown, c.Message);
    EXPECT_TRUE(LinesSince(before).empty()) << c.Text;
    EXPECT_FALSE(Form->turn_server->Active()) << c.Text;
  }
}

TEST_F(Window, PortThatCannotBeBoundIsLoggedAsAnException) {
  Open();
  RawClient holder;
  ASSERT_TRUE(holder.Ok());
  const size_t before = Log().size();
  Start(std::to_string(holder.Port()));
  const std::vector<std::string> lines = LinesSince(before);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("#exception: Can not listen on 127.0.0.1 port " + std::to_string(holder.Port()) + ": ", 0), 0u)
      << lines[0];
  EXPECT_NE(lines[0].find("in use"), std::string::npos) << lines[0];
  EXPECT_FALSE(Form->turn_server->Active());
}

TEST_F(Window, RestartDropsTheAllocationsOfThePreviousRun) {
  Open();
  const TIdPort port = ServerPort();
  TqynSTUN_Message m;
  ASSERT_TRUE(Client.Allocate(port, m, "qyn_user", "kiwi_tea"));
  const TIdPort relay = TTestTurnClient::RelayedPort(m);
  ASSERT_NE(relay, 0);
  ASSERT_FALSE(PortIsFree(relay));

  // Start again on the same port: the allocation and its relay port are gone.
  Start(std::to_string(port));
  ASSERT_TRUE(WaitLines(3));
  EXPECT_EQ(Log().back(), "#start server");
  EXPECT_EQ(Form->turn_server->GetAllocations()->Count(), 0);
  EXPECT_TRUE(PortIsFree(relay));

  // The client's next request gets 437, and it allocates anew.
  ASSERT_TRUE(Client.SignedAsk(port, kRefresh, {}, m, "qyn_user", "kiwi_tea"));
  EXPECT_EQ(ErrorOf(m).first, 437);
  ASSERT_TRUE(Client.Allocate(port, m, "qyn_user", "kiwi_tea"));
  EXPECT_NE(TTestTurnClient::RelayedPort(m), 0) << ErrorOf(m).first;
}

} // namespace
