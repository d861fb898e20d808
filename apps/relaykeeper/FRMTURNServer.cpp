#include "FRMTURNServer.h"

#include <QApplication>
#include <QCheckBox>
#include <QFont>
#include <QFrame>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include "qynBase_Sync.h"
#include "qynRelayKeeper_Server.h"

void InstallQtMainThreadDispatcher() {
  TqynMainThread::SetDispatcher([](TqynSyncProc aProc) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return;
    QMetaObject::invokeMethod(app, std::move(aProc), Qt::QueuedConnection);
  });
}

void RemoveQtMainThreadDispatcher() { TqynMainThread::SetDispatcher({}); }

namespace {

QLabel* NewLabel(QWidget* aParent, const char* aName, const char* aCaption, bool aBold = false) {
  auto* label = new QLabel(QString::fromUtf8(aCaption), aParent);
  label->setObjectName(aName);
  if (aBold) {
    QFont f = label->font();
    f.setBold(true);
    label->setFont(f);
  }
  return label;
}

QLineEdit* NewEdit(QWidget* aParent, const char* aName, const char* aText) {
  auto* edit = new QLineEdit(QString::fromUtf8(aText), aParent);
  edit->setObjectName(aName);
  return edit;
}

QFrame* NewPanel(QWidget* aParent, const char* aName) {
  auto* panel = new QFrame(aParent);
  panel->setObjectName(aName);
  panel->setFrameShape(QFrame::StyledPanel);
  panel->setFrameShadow(QFrame::Raised);
  return panel;
}

std::string TextOf(const QLineEdit* aEdit) { return aEdit->text().toStdString(); }

} // namespace

TFRMTURNServer::TFRMTURNServer(QWidget* aParent, const std::function<void(TFRMTURNServer&)>& aBeforeCreate)
    : QWidget(aParent) {
  setObjectName("FRMTURNServer");
  setWindowTitle(QStringLiteral("STUN / TURN Server - Qynwire"));
  setFont(QFont(QStringLiteral("Tahoma"), 8));
  CreateControls();
  resize(529, 556);
  if (QScreen* screen = QGuiApplication::primaryScreen()) move(screen->availableGeometry().center() - rect().center());
  CreateServer();
  if (aBeforeCreate) aBeforeCreate(*this);
  FormCreate();
}

TFRMTURNServer::~TFRMTURNServer() {
  SyncMessages().OnMessage = nullptr;
  turn_server.reset();
}

void TFRMTURNServer::CreateControls() {
  pnlServerActive = NewPanel(this, "pnlServerActive");
  btnStart = new QPushButton(QStringLiteral("Start"), pnlServerActive);
  btnStart->setObjectName("btnStart");
  btnStop = new QPushButton(QStringLiteral("Stop"), pnlServerActive);
  btnStop->setObjectName("btnStop");
  auto* buttons = new QVBoxLayout(pnlServerActive);
  buttons->addWidget(btnStart);
  buttons->addWidget(btnStop);
  buttons->addStretch();
  pnlServerActive->setFixedWidth(105);

  pnlServerOptions = NewPanel(this, "pnlServerOptions");
  Label1 = NewLabel(pnlServerOptions, "Label1", "Options", true);
  Label2 = NewLabel(pnlServerOptions, "Label2", "Host:");
  txtHost = NewEdit(pnlServerOptions, "txtHost", "127.0.0.1");
  Label3 = NewLabel(pnlServerOptions, "Label3", "Port:");
  txtPort = NewEdit(pnlServerOptions, "txtPort", "3478");
  Label6 = NewLabel(pnlServerOptions, "Label6", "Options", true);
  chkLongTermCredentials = new QCheckBox(QStringLiteral("TURN Long-Term Credentials"), pnlServerOptions);
  chkLongTermCredentials->setObjectName("chkLongTermCredentials");
  chkLongTermCredentials->setChecked(true);
  Label4 = NewLabel(pnlServerOptions, "Label4", "User");
  txtUsername = NewEdit(pnlServerOptions, "txtUsername", "qyn_user");
  Label5 = NewLabel(pnlServerOptions, "Label5", "Password");
  txtPassword = NewEdit(pnlServerOptions, "txtPassword", "kiwi_tea");
  Label7 = NewLabel(pnlServerOptions, "Label7", "Realm");
  txtRealm = NewEdit(pnlServerOptions, "txtRealm", "Qynwire");

  auto* grid = new QGridLayout(pnlServerOptions);
  grid->addWidget(Label1, 0, 0, 1, 4);
  grid->addWidget(Label2, 1, 0);
  grid->addWidget(txtHost, 1, 1);
  grid->addWidget(Label3, 1, 2);
  grid->addWidget(txtPort, 1, 3);
  grid->addWidget(Label6, 2, 0, 1, 4);
  grid->addWidget(chkLongTermCredentials, 3, 0, 1, 4);
  grid->addWidget(Label4, 4, 0);
  grid->addWidget(txtUsername, 4, 1, 1, 3);
  grid->addWidget(Label5, 5, 0);
  grid->addWidget(txtPassword, 5, 1, 1, 3);
  grid->addWidget(Label7, 6, 0);
  grid->addWidget(txtRealm, 6, 1, 1, 3);
  grid->setColumnStretch(1, 3);
  grid->setColumnStretch(3, 1);

  memoLog = new QPlainTextEdit(this);
  memoLog->setObjectName("memoLog");
  memoLog->setReadOnly(true);
  memoLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  memoLog->setLineWrapMode(QPlainTextEdit::NoWrap);

  auto* top = new QHBoxLayout;
  top->addWidget(pnlServerActive);
  top->addWidget(pnlServerOptions, 1);
  auto* all = new QVBoxLayout(this);
  all->setContentsMargins(4, 4, 4, 4);
  all->addLayout(top);
  all->addWidget(memoLog, 1);

  connect(btnStart, &QPushButton::clicked, this, [this] { RunHandler(&TFRMTURNServer::btnStartClick); });
  connect(btnStop, &QPushButton::clicked, this, [this] { RunHandler(&TFRMTURNServer::btnStopClick); });
}

void TFRMTURNServer::CreateServer() {
  turn_server = std::make_unique<TqynTURNServer>();
  ApplyRelayKeeperDesignSettings(*turn_server);
  turn_server->OnSTUNException = [this](TqynComponent_Base* Sender, const Exception& E) { turn_serverSTUNException(Sender, E); };
  turn_server->OnSTUNRequestAuthorization = [this](TqynComponent_Base* Sender, TqynSTUN_Message* aRequest,
                                                   const std::string& aUsername, const std::string& aRealm,
                                                   std::string& Password) {
    turn_serverSTUNRequestAuthorization(Sender, aRequest, aUsername, aRealm, Password);
  };
  turn_server->OnTURNCreateAllocation = [this](TqynComponent_Base* Sender, TqynSocketConnection* aSocket,
                                               TqynTURNAllocationItem* Allocation) {
    turn_serverTURNCreateAllocation(Sender, aSocket, Allocation);
  };
}

void TFRMTURNServer::FormCreate() {
  SyncMessages().OnMessage = [this](TqynSyncMessages* Sender, const std::string& Value) { DoSyncMessage(Sender, Value); };
  btnStart->click();
}

void TFRMTURNServer::btnStartClick() {
  if (turn_server->Active()) turn_server->SetActive(false);
  // The fields are read first: a port that is no number leaves the server stopped and the log
  // as it was.
  TqynRelayKeeperStart start;
  start.NotifyEvents = neAsynchronous;
  start.Host = TextOf(txtHost);
  start.Port = StrToPort(TextOf(txtPort));
  start.LongTermCredentials = chkLongTermCredentials->isChecked();
  start.Realm = TextOf(txtRealm);
  // Allocations of the previous run are dropped with their relay bindings; a start that cannot
  // bind is logged as an exception instead of a start.
  if (!StartRelayKeeperServer(*turn_server, start)) {
    DoLog(ExceptionLine(ListenFailureText(start.Host, start.Port)));
    return;
  }
  DoLog(StartServerLine());
}

void TFRMTURNServer::btnStopClick() {
  turn_server->SetActive(false);
  DoLog(StopServerLine());
}

void TFRMTURNServer::turn_serverSTUNException(TqynComponent_Base*, const Exception& E) { DoLog(ExceptionLine(E.Message())); }

void TFRMTURNServer::turn_serverSTUNRequestAuthorization(TqynComponent_Base*, TqynSTUN_Message*, const std::string& aUsername,
                                                         const std::string& aRealm, std::string& Password) {
  Password = RelayKeeperPassword(aUsername, aRealm, TextOf(txtUsername),
                                 turn_server->TURNOptions().Authentication.LongTermCredentials.Realm, TextOf(txtPassword));
}

void TFRMTURNServer::turn_serverTURNCreateAllocation(TqynComponent_Base*, TqynSocketConnection*,
                                                     TqynTURNAllocationItem* Allocation) {
  DoLog(NewAllocationLine(*Allocation));
}

void TFRMTURNServer::DoLog(const std::string& aText) { SyncMessages().Queue(aText); }

void TFRMTURNServer::DoSyncMessage(TqynSyncMessages*, const std::string& Value) {
  memoLog->appendPlainText(QString::fromStdString(Value));
}

void TFRMTURNServer::RunHandler(void (TFRMTURNServer::*aHandler)()) {
  try {
    (this->*aHandler)();
  } catch (const Exception& E) {
    ShowException(E.Message());
  } catch (const std::exception& E) {
    ShowException(E.what());
  }
}

void TFRMTURNServer::ShowException(const std::string& aMessage) {
  if (OnShowException) {
    OnShowException(aMessage);
    return;
  }
  QMessageBox box(QMessageBox::Critical, windowTitle(), QString::fromStdString(aMessage), QMessageBox::Ok, this);
  box.setObjectName("ExceptionBox");
  box.exec();
}
