#include "FRMSTUNClient.h"

#include <QCheckBox>
#include <QFont>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include <cstdint>

#include "qynBase_Convert.h"
#include "qynMessages.h"
#include "qynRelayProbe_LogLines.h"
#include "qynRelayProbe_Settings.h"

namespace {

std::string TextOf(const QLineEdit* aEdit) { return aEdit->text().toStdString(); }

QLabel* NewLabel(QWidget* aParent, const char* aName, const char* aCaption) {
  auto* label = new QLabel(QString::fromUtf8(aCaption), aParent);
  label->setObjectName(aName);
  return label;
}

QLineEdit* NewEdit(QWidget* aParent, const char* aName, const char* aText, QLabel* aLabel = nullptr) {
  auto* edit = new QLineEdit(QString::fromUtf8(aText), aParent);
  edit->setObjectName(aName);
  if (aLabel) aLabel->setBuddy(edit);
  return edit;
}

QCheckBox* NewCheckBox(QWidget* aParent, const char* aName, const char* aCaption) {
  auto* box = new QCheckBox(QString::fromUtf8(aCaption), aParent);
  box->setObjectName(aName);
  box->setChecked(true);
  return box;
}

QPushButton* NewButton(QWidget* aParent, const char* aName, const char* aCaption) {
  auto* button = new QPushButton(QString::fromUtf8(aCaption), aParent);
  button->setObjectName(aName);
  return button;
}

QGroupBox* NewGroup(QWidget* aParent, const char* aName, const char* aCaption) {
  auto* group = new QGroupBox(QString::fromUtf8(aCaption), aParent);
  group->setObjectName(aName);
  return group;
}

QFrame* NewPanel(QWidget* aParent, const char* aName) {
  auto* panel = new QFrame(aParent);
  panel->setObjectName(aName);
  panel->setFrameShape(QFrame::StyledPanel);
  panel->setFrameShadow(QFrame::Raised);
  return panel;
}

// One row of label and edit in a two-column grid.
void AddRow(QGridLayout* aGrid, QLabel* aLabel, QWidget* aField) {
  const int row = aGrid->rowCount();
  aGrid->addWidget(aLabel, row, 0);
  aGrid->addWidget(aField, row, 1);
}

// A widget across both columns of a grid, with some room above it when the grid is not empty.
void AddWide(QGridLayout* aGrid, QWidget* aWidget) {
  const int row = aGrid->rowCount();
  if (row > 1) aGrid->setRowMinimumHeight(row, 8);
  aGrid->addWidget(aWidget, row + (row > 1 ? 1 : 0), 0, 1, 2);
}

} // namespace

TFRMSTUNClient::TFRMSTUNClient(QWidget* aParent) : QWidget(aParent) {
  setObjectName("FRMSTUNClient");
  setWindowTitle(QStringLiteral("TURN Client - Qynwire"));
  setFont(QFont(QStringLiteral("Tahoma"), 8));
  CreateControls();
  resize(792, 857);
  if (QScreen* screen = QGuiApplication::primaryScreen()) move(screen->availableGeometry().center() - rect().center());
  CreateClient();
}

TFRMSTUNClient::~TFRMSTUNClient() {
  // The component's threads stop before the controls its handlers write to go; calls it queued
  // for the main thread are skipped once it is gone.
  turn_client.reset();
}

// ---------------------------------------------------------------------------------------------
// Controls

void TFRMSTUNClient::CreateControls() {
  QFrame* options = CreateOptionsPanel();
  QFrame* methods = CreateMethodsPanel();

  memoLog = new QPlainTextEdit(this);
  memoLog->setObjectName("memoLog");
  memoLog->setReadOnly(true);
  memoLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  memoLog->setLineWrapMode(QPlainTextEdit::NoWrap);

  auto* lower = new QHBoxLayout;
  lower->addWidget(methods);
  lower->addWidget(memoLog, 1);
  auto* all = new QVBoxLayout(this);
  all->setContentsMargins(4, 4, 4, 4);
  all->addWidget(options);
  all->addLayout(lower, 1);

  ConnectButtons();
}

QFrame* TFRMSTUNClient::CreateOptionsPanel() {
  pnlOptions = NewPanel(this, "pnlOptions");

  grpOptions = NewGroup(pnlOptions, "grpOptions", "Options");
  lblHost = NewLabel(grpOptions, "lblHost", "Host:");
  txtHost = NewEdit(grpOptions, "txtHost", "127.0.0.1", lblHost);
  lblPort = NewLabel(grpOptions, "lblPort", "Port:");
  txtPort = NewEdit(grpOptions, "txtPort", "3478", lblPort);
  auto* connection = new QGridLayout(grpOptions);
  AddRow(connection, lblHost, txtHost);
  AddRow(connection, lblPort, txtPort);
  connection->setRowStretch(connection->rowCount(), 1);

  grpRetransmissions = NewGroup(pnlOptions, "grpRetransmissions", "Retransmissions");
  lblRTO = NewLabel(grpRetransmissions, "lblRTO", "RTO:");
  txtRTO = NewEdit(grpRetransmissions, "txtRTO", "500", lblRTO);
  lblMaxRetries = NewLabel(grpRetransmissions, "lblMaxRetries", "MaxRetries:");
  txtMaxRetries = NewEdit(grpRetransmissions, "txtMaxRetries", "7", lblMaxRetries);
  chkRetransmissions = NewCheckBox(grpRetransmissions, "chkRetransmissions", "Enabled");
  auto* retransmissions = new QGridLayout(grpRetransmissions);
  AddRow(retransmissions, lblRTO, txtRTO);
  AddRow(retransmissions, lblMaxRetries, txtMaxRetries);
  retransmissions->addWidget(chkRetransmissions, retransmissions->rowCount(), 1);

  grpLongTermCredentials = NewGroup(pnlOptions, "grpLongTermCredentials", "Long Term Credentials");
  lblUsername = NewLabel(grpLongTermCredentials, "lblUsername", "Username:");
  txtUsername = NewEdit(grpLongTermCredentials, "txtUsername", "qyn_user", lblUsername);
  lblPassword = NewLabel(grpLongTermCredentials, "lblPassword", "Password:");
  txtPassword = NewEdit(grpLongTermCredentials, "txtPassword", "kiwi_tea", lblPassword);
  chkLongTermCredentials = NewCheckBox(grpLongTermCredentials, "chkLongTermCredentials", "Enabled");
  auto* credentials = new QGridLayout(grpLongTermCredentials);
  AddRow(credentials, lblUsername, txtUsername);
  AddRow(credentials, lblPassword, txtPassword);
  credentials->addWidget(chkLongTermCredentials, credentials->rowCount(), 1);

  auto* row = new QHBoxLayout(pnlOptions);
  row->addWidget(grpOptions, 3);
  row->addWidget(grpRetransmissions, 2);
  row->addWidget(grpLongTermCredentials, 3);
  return pnlOptions;
}

QFrame* TFRMSTUNClient::CreateMethodsPanel() {
  pnlMethods = NewPanel(this, "pnlMethods");

  grpSTUNMethods = NewGroup(pnlMethods, "grpSTUNMethods", "STUN Methods");
  btnSTUNRequestBinding = NewButton(grpSTUNMethods, "btnSTUNRequestBinding", "Request Binding");
  auto* stun = new QGridLayout(grpSTUNMethods);
  AddWide(stun, btnSTUNRequestBinding);

  grpTURNMethods = NewGroup(pnlMethods, "grpTURNMethods", "TURN Methods");
  QGroupBox* g = grpTURNMethods;
  auto* turn = new QGridLayout(g);
  btnTURNAllocate = NewButton(g, "btnTURNAllocate", "Allocate");
  AddWide(turn, btnTURNAllocate);

  btnTURNRefresh = NewButton(g, "btnTURNRefresh", "Refresh");
  lblTURNRefreshLifetime = NewLabel(g, "lblTURNRefreshLifetime", "Lifetime");
  txtTURNRefreshLifetime = NewEdit(g, "txtTURNRefreshLifetime", "600", lblTURNRefreshLifetime);
  AddWide(turn, btnTURNRefresh);
  AddRow(turn, lblTURNRefreshLifetime, txtTURNRefreshLifetime);

  btnTURNCreatePermission = NewButton(g, "btnTURNCreatePermission", "Create Permission");
  lblTURNCreatePermissionPeer = NewLabel(g, "lblTURNCreatePermissionPeer", "Peer Address");
  txtTURNCreatePermissionPeer = NewEdit(g, "txtTURNCreatePermissionPeer", "192.168.1.1", lblTURNCreatePermissionPeer);
  AddWide(turn, btnTURNCreatePermission);
  AddRow(turn, lblTURNCreatePermissionPeer, txtTURNCreatePermissionPeer);

  btnTURNSendIndication = NewButton(g, "btnTURNSendIndication", "Send Indication");
  lblTURNSendIndicationPeerAddress = NewLabel(g, "lblTURNSendIndicationPeerAddress", "Peer Address");
  txtTURNSendIndicationPeerAddress =
      NewEdit(g, "txtTURNSendIndicationPeerAddress", "192.168.1.1", lblTURNSendIndicationPeerAddress);
  lblTURNSendIndicationPeerPort = NewLabel(g, "lblTURNSendIndicationPeerPort", "Peer Port");
  txtTURNSendIndicationPeerPort = NewEdit(g, "txtTURNSendIndicationPeerPort", "8080", lblTURNSendIndicationPeerPort);
  lblTURNSendIndicationData = NewLabel(g, "lblTURNSendIndicationData", "Data");
  txtTURNSendIndicationData = NewEdit(g, "txtTURNSendIndicationData", "Hi from Qynwire.", lblTURNSendIndicationData);
  AddWide(turn, btnTURNSendIndication);
  AddRow(turn, lblTURNSendIndicationPeerAddress, txtTURNSendIndicationPeerAddress);
  AddRow(turn, lblTURNSendIndicationPeerPort, txtTURNSendIndicationPeerPort);
  AddRow(turn, lblTURNSendIndicationData, txtTURNSendIndicationData);

  btnTURNChannelBind = NewButton(g, "btnTURNChannelBind", "Channel Bind");
  lblTURNChannelBindPeerAddress = NewLabel(g, "lblTURNChannelBindPeerAddress", "Peer Address");
  txtTURNChannelBindPeerAddress = NewEdit(g, "txtTURNChannelBindPeerAddress", "192.168.1.1", lblTURNChannelBindPeerAddress);
  lblTURNChannelBindPeerPort = NewLabel(g, "lblTURNChannelBindPeerPort", "Peer Port");
  txtTURNChannelBindPeerPort = NewEdit(g, "txtTURNChannelBindPeerPort", "8080", lblTURNChannelBindPeerPort);
  AddWide(turn, btnTURNChannelBind);
  AddRow(turn, lblTURNChannelBindPeerAddress, txtTURNChannelBindPeerAddress);
  AddRow(turn, lblTURNChannelBindPeerPort, txtTURNChannelBindPeerPort);

  btnTURNSendChannelData = NewButton(g, "btnTURNSendChannelData", "Send Channel Data");
  lblTURNSendChannelDataChannelId = NewLabel(g, "lblTURNSendChannelDataChannelId", "Channel Data");
  txtTURNSendChannelDataChannelId = NewEdit(g, "txtTURNSendChannelDataChannelId", "0", lblTURNSendChannelDataChannelId);
  lblTURNSendChannelDataChannelData = NewLabel(g, "lblTURNSendChannelDataChannelData", "Data");
  txtTURNSendChannelDataChannelData =
      NewEdit(g, "txtTURNSendChannelDataChannelData", "Hi from Qynwire.", lblTURNSendChannelDataChannelData);
  AddWide(turn, btnTURNSendChannelData);
  AddRow(turn, lblTURNSendChannelDataChannelId, txtTURNSendChannelDataChannelId);
  AddRow(turn, lblTURNSendChannelDataChannelData, txtTURNSendChannelDataChannelData);
  turn->setColumnStretch(1, 1);

  auto* column = new QVBoxLayout(pnlMethods);
  column->addWidget(grpSTUNMethods);
  column->addWidget(grpTURNMethods);
  column->addStretch(1);
  pnlMethods->setFixedWidth(260);
  return pnlMethods;
}

void TFRMSTUNClient::ConnectButtons() {
  const std::pair<QPushButton*, void (TFRMSTUNClient::*)()> buttons[] = {
      {btnSTUNRequestBinding, &TFRMSTUNClient::btnSTUNRequestBindingClick},
      {btnTURNAllocate, &TFRMSTUNClient::btnTURNAllocateClick},
      {btnTURNRefresh, &TFRMSTUNClient::btnTURNRefreshClick},
      {btnTURNCreatePermission, &TFRMSTUNClient::btnTURNCreatePermissionClick},
      {btnTURNSendIndication, &TFRMSTUNClient::btnTURNSendIndicationClick},
      {btnTURNChannelBind, &TFRMSTUNClient::btnTURNChannelBindClick},
      {btnTURNSendChannelData, &TFRMSTUNClient::btnTURNSendChannelDataClick},
  };
  for (const auto& [button, handler] : buttons)
    connect(button, &QPushButton::clicked, this, [this, handler = handler] { RunHandler(handler); });
}

// ---------------------------------------------------------------------------------------------
// The component and its design-time settings

void TFRMSTUNClient::CreateClient() {
  turn_client = std::make_unique<TqynTURNClient>();
  TqynTURNClient& c = *turn_client;
  ApplyRelayProbeDesignSettings(c);

  c.OnSTUNException = [this](TqynComponent_Base* Sender, const Exception& E) { turn_clientSTUNException(Sender, E); };
  c.OnSTUNResponseError = [this](TqynComponent_Base* Sender, TqynSocketConnection* aSocket, TqynSTUN_Message* aMessage,
                                 TqynSTUN_ResponseError* aError) { turn_clientSTUNResponseError(Sender, aSocket, aMessage, aError); };
  c.OnSTUNResponseSuccess = [this](TqynComponent_Base* Sender, TqynSocketConnection* aSocket, TqynSTUN_Message* aMessage,
                                   TqynSTUN_ResponseBinding* aBinding) {
    turn_clientSTUNResponseSuccess(Sender, aSocket, aMessage, aBinding);
  };
  c.OnTURNAllocate = [this](TqynComponent_Base* Sender, TqynSocketConnection* aSocket, TqynSTUN_Message* aMessage,
                            TqynTURN_ResponseAllocation* aAllocation) {
    turn_clientTURNAllocate(Sender, aSocket, aMessage, aAllocation);
  };
  c.OnTURNRefresh = [this](TqynComponent_Base* Sender, TqynSocketConnection* aSocket, TqynSTUN_Message* aMessage,
                           TqynTURN_ResponseRefresh* aRefresh) { turn_clientTURNRefresh(Sender, aSocket, aMessage, aRefresh); };
  c.OnTURNCreatePermission = [this](TqynComponent_Base* Sender, TqynSocketConnection* aSocket, TqynSTUN_Message* aMessage,
                                    TqynTURN_ResponseCreatePermission* aCreatePermission) {
    turn_clientTURNCreatePermission(Sender, aSocket, aMessage, aCreatePermission);
  };
  c.OnTURNChannelBind = [this](TqynComponent_Base* Sender, TqynSocketConnection* aSocket, TqynSTUN_Message* aMessage,
                               TqynTURN_ResponseChannelBind* aChannelBind) {
    turn_clientTURNChannelBind(Sender, aSocket, aMessage, aChannelBind);
  };
  c.OnTURNChannelData = [this](TqynComponent_Base* Sender, TqynSocketConnection* aSocket, TqynTURNChannelData* aChannelData) {
    turn_clientTURNChannelData(Sender, aSocket, aChannelData);
  };
  c.OnTURNDataIndication = [this](TqynComponent_Base* Sender, TqynSocketConnection* aSocket, TqynSTUN_Message* aMessage,
                                  TqynTURN_ResponseDataIndication* aDataIndication) {
    turn_clientTURNDataIndication(Sender, aSocket, aMessage, aDataIndication);
  };
}

void TFRMSTUNClient::CopySettings() {
  TqynTURNClient& c = *turn_client;
  c.SetHost(TextOf(txtHost));
  c.SetPort(StrToPort(TextOf(txtPort)));
  c.RetransmissionOptions().Enabled = chkRetransmissions->isChecked();
  c.RetransmissionOptions().RTO = StrToInt(TextOf(txtRTO));
  c.RetransmissionOptions().MaxRetries = StrToInt(TextOf(txtMaxRetries));
  c.STUNOptions().Authentication.Credentials = stauNone;
  TqynTURNClient_Options& turn = c.TURNOptions();
  const bool longTerm = chkLongTermCredentials->isChecked();
  turn.Authentication.Credentials = longTerm ? stauLongTermCredential : stauNone;
  turn.Fingerprint = longTerm;
  turn.Authentication.Username = TextOf(txtUsername);
  turn.Authentication.Password = TextOf(txtPassword);
}

// ---------------------------------------------------------------------------------------------
// Buttons

void TFRMSTUNClient::btnSTUNRequestBindingClick() {
  CopySettings();
  turn_client->SendRequest();
}

void TFRMSTUNClient::btnTURNAllocateClick() {
  CopySettings();
  turn_client->Allocate();
}

void TFRMSTUNClient::btnTURNRefreshClick() {
  CopySettings();
  const int lifetime = StrToIntIn(TextOf(txtTURNRefreshLifetime), 0, INT32_MAX, RS_InvalidLifetime);
  turn_client->Refresh(static_cast<uint32_t>(lifetime));
}

void TFRMSTUNClient::btnTURNCreatePermissionClick() {
  CopySettings();
  turn_client->CreatePermission(TextOf(txtTURNCreatePermissionPeer));
}

void TFRMSTUNClient::btnTURNSendIndicationClick() {
  CopySettings();
  const std::string peer = TextOf(txtTURNSendIndicationPeerAddress);
  const TIdPort port = StrToPort(TextOf(txtTURNSendIndicationPeerPort));
  turn_client->SendIndication(peer, port, TextOf(txtTURNSendIndicationData));
}

void TFRMSTUNClient::btnTURNChannelBindClick() {
  CopySettings();
  const std::string peer = TextOf(txtTURNChannelBindPeerAddress);
  turn_client->ChannelBind(peer, StrToPort(TextOf(txtTURNChannelBindPeerPort)));
}

void TFRMSTUNClient::btnTURNSendChannelDataClick() {
  CopySettings();
  const int channel = StrToIntIn(TextOf(txtTURNSendChannelDataChannelId), 0, 65535, RS_InvalidChannelNumber);
  turn_client->SendChannelData(static_cast<uint16_t>(channel), TextOf(txtTURNSendChannelDataChannelData));
}

// ---------------------------------------------------------------------------------------------
// Events

void TFRMSTUNClient::turn_clientSTUNException(TqynComponent_Base*, const Exception& E) { DoLog(RelayProbeExceptionLine(E.Message())); }

void TFRMSTUNClient::turn_clientSTUNResponseError(TqynComponent_Base*, TqynSocketConnection*, TqynSTUN_Message*,
                                                  TqynSTUN_ResponseError* aError) {
  DoLog(RelayProbeErrorLine(*aError));
}

void TFRMSTUNClient::turn_clientSTUNResponseSuccess(TqynComponent_Base*, TqynSocketConnection*, TqynSTUN_Message* aMessage,
                                                    TqynSTUN_ResponseBinding* aBinding) {
  for (const std::string& line : RelayProbeBindingLines(*aMessage, *aBinding)) DoLog(line);
}

void TFRMSTUNClient::turn_clientTURNAllocate(TqynComponent_Base*, TqynSocketConnection*, TqynSTUN_Message*,
                                             TqynTURN_ResponseAllocation* aAllocation) {
  DoLog(RelayProbeAllocateLine(*aAllocation));
}

void TFRMSTUNClient::turn_clientTURNRefresh(TqynComponent_Base*, TqynSocketConnection*, TqynSTUN_Message*,
                                            TqynTURN_ResponseRefresh* aRefresh) {
  DoLog(RelayProbeRefreshLine(*aRefresh));
}

void TFRMSTUNClient::turn_clientTURNCreatePermission(TqynComponent_Base*, TqynSocketConnection*, TqynSTUN_Message*,
                                                     TqynTURN_ResponseCreatePermission* aCreatePermission) {
  DoLog(RelayProbeCreatePermissionLine(*aCreatePermission));
}

void TFRMSTUNClient::turn_clientTURNChannelBind(TqynComponent_Base*, TqynSocketConnection*, TqynSTUN_Message*,
                                                TqynTURN_ResponseChannelBind* aChannelBind) {
  DoLog(RelayProbeChannelBindLine(*aChannelBind));
}

void TFRMSTUNClient::turn_clientTURNChannelData(TqynComponent_Base*, TqynSocketConnection*, TqynTURNChannelData* aChannelData) {
  DoLog(RelayProbeChannelDataLine(*aChannelData));
}

void TFRMSTUNClient::turn_clientTURNDataIndication(TqynComponent_Base*, TqynSocketConnection*, TqynSTUN_Message*,
                                                   TqynTURN_ResponseDataIndication* aDataIndication) {
  DoLog(RelayProbeDataIndicationLine(*aDataIndication));
}

void TFRMSTUNClient::DoLog(const std::string& aText) {
  // The lines are UTF-8; received data in them is already made safe (RelayProbeDataText).
  memoLog->appendPlainText(QString::fromUtf8(aText.data(), static_cast<qsizetype>(aText.size())));
}

// ---------------------------------------------------------------------------------------------

void TFRMSTUNClient::RunHandler(void (TFRMSTUNClient::*aHandler)()) {
  try {
    (this->*aHandler)();
  } catch (const Exception& E) {
    ShowException(E.Message());
  } catch (const std::exception& E) {
    ShowException(E.what());
  }
}

void TFRMSTUNClient::ShowException(const std::string& aMessage) {
  if (OnShowException) {
    OnShowException(aMessage);
    return;
  }
  QMessageBox box(QMessageBox::Critical, windowTitle(), QString::fromStdString(aMessage), QMessageBox::Ok, this);
  box.setObjectName("ExceptionBox");
  box.exec();
}
