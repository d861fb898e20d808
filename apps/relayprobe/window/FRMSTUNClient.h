// The relayprobe window: one TURN client component (turn_client), the connection,
// retransmission and credential settings, one button per STUN and TURN operation with its inputs,
// and the log. Every button copies the settings into the component and calls one operation;
// every event of the component appends its line to memoLog. The component's events run on the
// main thread (neAsynchronous), so the handlers touch the controls directly.
//
// The Qt main-thread dispatcher (QynInstallRelayProbeDispatcher) must be installed before the
// window is made.
#pragma once

#include <QWidget>

#include <functional>
#include <memory>
#include <string>

#include "qynP2P_TURN_Client.h"

class QCheckBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

class TFRMSTUNClient : public QWidget {
public:
  explicit TFRMSTUNClient(QWidget* aParent = nullptr);
  ~TFRMSTUNClient() override;

  // ---- Options panel, across the top ----
  QFrame* pnlOptions = nullptr;
  QGroupBox* grpOptions = nullptr;
  QLabel* lblHost = nullptr;
  QLineEdit* txtHost = nullptr;
  QLabel* lblPort = nullptr;
  QLineEdit* txtPort = nullptr;
  QGroupBox* grpRetransmissions = nullptr;
  QLabel* lblRTO = nullptr;
  QLineEdit* txtRTO = nullptr;
  QLabel* lblMaxRetries = nullptr;
  QLineEdit* txtMaxRetries = nullptr;
  QCheckBox* chkRetransmissions = nullptr;
  QGroupBox* grpLongTermCredentials = nullptr;
  QLabel* lblUsername = nullptr;
  QLineEdit* txtUsername = nullptr;
  QLabel* lblPassword = nullptr;
  QLineEdit* txtPassword = nullptr;
  QCheckBox* chkLongTermCredentials = nullptr;

  // ---- Method column, on the left ----
  QFrame* pnlMethods = nullptr;
  QGroupBox* grpSTUNMethods = nullptr;
  QPushButton* btnSTUNRequestBinding = nullptr;
  QGroupBox* grpTURNMethods = nullptr;
  QPushButton* btnTURNAllocate = nullptr;
  QPushButton* btnTURNRefresh = nullptr;
  QLabel* lblTURNRefreshLifetime = nullptr;
  QLineEdit* txtTURNRefreshLifetime = nullptr;
  QPushButton* btnTURNCreatePermission = nullptr;
  QLabel* lblTURNCreatePermissionPeer = nullptr;
  QLineEdit* txtTURNCreatePermissionPeer = nullptr;
  QPushButton* btnTURNSendIndication = nullptr;
  QLabel* lblTURNSendIndicationPeerAddress = nullptr;
  QLineEdit* txtTURNSendIndicationPeerAddress = nullptr;
  QLabel* lblTURNSendIndicationPeerPort = nullptr;
  QLineEdit* txtTURNSendIndicationPeerPort = nullptr;
  QLabel* lblTURNSendIndicationData = nullptr;
  QLineEdit* txtTURNSendIndicationData = nullptr;
  QPushButton* btnTURNChannelBind = nullptr;
  QLabel* lblTURNChannelBindPeerAddress = nullptr;
  QLineEdit* txtTURNChannelBindPeerAddress = nullptr;
  QLabel* lblTURNChannelBindPeerPort = nullptr;
  QLineEdit* txtTURNChannelBindPeerPort = nullptr;
  QPushButton* btnTURNSendChannelData = nullptr;
  QLabel* lblTURNSendChannelDataChannelId = nullptr;
  QLineEdit* txtTURNSendChannelDataChannelId = nullptr;
  QLabel* lblTURNSendChannelDataChannelData = nullptr;
  QLineEdit* txtTURNSendChannelDataChannelData = nullptr;

  // ---- The log, filling the rest ----
  QPlainTextEdit* memoLog = nullptr;

  // The component, made with the design-time settings when the window opens and freed with it.
  std::unique_ptr<TqynTURNClient> turn_client;

  // Shows an exception a button handler raised (a conversion error of an input): by default a
  // modal message box; a test may assign its own reporter.
  std::function<void(const std::string& aMessage)> OnShowException;

  // ---- Handlers of the buttons (each copies the settings first) ----
  void btnSTUNRequestBindingClick();
  void btnTURNAllocateClick();
  void btnTURNRefreshClick();
  void btnTURNCreatePermissionClick();
  void btnTURNSendIndicationClick();
  void btnTURNChannelBindClick();
  void btnTURNSendChannelDataClick();

  // ---- Handlers of the component's events ----
  void turn_clientSTUNException(TqynComponent_Base* Sender, const Exception& E);
  void turn_clientSTUNResponseError(TqynComponent_Base* Sender, TqynSocketConnection* aSocket, TqynSTUN_Message* aMessage,
                                    TqynSTUN_ResponseError* aError);
  void turn_clientSTUNResponseSuccess(TqynComponent_Base* Sender, TqynSocketConnection* aSocket, TqynSTUN_Message* aMessage,
                                      TqynSTUN_ResponseBinding* aBinding);
  void turn_clientTURNAllocate(TqynComponent_Base* Sender, TqynSocketConnection* aSocket, TqynSTUN_Message* aMessage,
                               TqynTURN_ResponseAllocation* aAllocation);
  void turn_clientTURNRefresh(TqynComponent_Base* Sender, TqynSocketConnection* aSocket, TqynSTUN_Message* aMessage,
                              TqynTURN_ResponseRefresh* aRefresh);
  void turn_clientTURNCreatePermission(TqynComponent_Base* Sender, TqynSocketConnection* aSocket, TqynSTUN_Message* aMessage,
                                       TqynTURN_ResponseCreatePermission* aCreatePermission);
  void turn_clientTURNChannelBind(TqynComponent_Base* Sender, TqynSocketConnection* aSocket, TqynSTUN_Message* aMessage,
                                  TqynTURN_ResponseChannelBind* aChannelBind);
  void turn_clientTURNChannelData(TqynComponent_Base* Sender, TqynSocketConnection* aSocket, TqynTURNChannelData* aChannelData);
  void turn_clientTURNDataIndication(TqynComponent_Base* Sender, TqynSocketConnection* aSocket, TqynSTUN_Message* aMessage,
                                     TqynTURN_ResponseDataIndication* aDataIndication);

  // Appends aText to memoLog as its new last line(s).
  void DoLog(const std::string& aText);

private:
  void CreateControls();
  QFrame* CreateOptionsPanel();
  QFrame* CreateMethodsPanel();
  void CreateClient();
  void ConnectButtons();
  // Copies the window's settings into turn_client, in the order the fields are read; a field
  // that does not convert raises EConvertError and leaves what was copied before it.
  void CopySettings();
  // Runs a handler as the window system does: an exception it raises is shown, never passed on.
  void RunHandler(void (TFRMSTUNClient::*aHandler)());
  void ShowException(const std::string& aMessage);
};
