// The relaykeeper window: one TURN server component (turn_server), its address, port and
// long-term credentials, Start and Stop, and the log. Every server event runs on the main thread
// (neAsynchronous); log lines reach memoLog through the process-wide TqynSyncMessages relay.
//
// The Qt main-thread dispatcher (InstallQtMainThreadDispatcher) must be installed before the
// window is made.
#pragma once

#include <QWidget>

#include <functional>
#include <memory>
#include <string>

#include "qynBase_Convert.h"
#include "qynP2P_TURN_Server.h"

class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

// Forwards the main-thread relay's calls to the Qt event loop (queued on the application object);
// the calling thread becomes the main thread. Call it after the QApplication exists.
void InstallQtMainThreadDispatcher();
// Removes that dispatcher (before the QApplication goes).
void RemoveQtMainThreadDispatcher();

class TFRMTURNServer : public QWidget {
public:
  // aBeforeCreate, when given, runs after the controls exist and before FormCreate (tests use it
  // to put another port into txtPort before the first Start).
  explicit TFRMTURNServer(QWidget* aParent = nullptr, const std::function<void(TFRMTURNServer&)>& aBeforeCreate = {});
  ~TFRMTURNServer() override;

  // ---- Controls, from top left ----
  QFrame* pnlServerActive = nullptr;
  QPushButton* btnStart = nullptr;
  QPushButton* btnStop = nullptr;
  QFrame* pnlServerOptions = nullptr;
  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QLineEdit* txtHost = nullptr;
  QLabel* Label3 = nullptr;
  QLineEdit* txtPort = nullptr;
  QLabel* Label6 = nullptr;
  QCheckBox* chkLongTermCredentials = nullptr;
  QLabel* Label4 = nullptr;
  QLineEdit* txtUsername = nullptr;
  QLabel* Label5 = nullptr;
  QLineEdit* txtPassword = nullptr;
  QLabel* Label7 = nullptr;
  QLineEdit* txtRealm = nullptr;
  QPlainTextEdit* memoLog = nullptr;
  std::unique_ptr<TqynTURNServer> turn_server;

  // Shows an exception a handler raised (the window system's error report): by default a modal
  // message box; a test may assign its own reporter.
  std::function<void(const std::string& aMessage)> OnShowException;

  // ---- Handlers ----
  void FormCreate();
  void btnStartClick();
  void btnStopClick();
  void turn_serverSTUNException(TqynComponent_Base* Sender, const Exception& E);
  void turn_serverSTUNRequestAuthorization(TqynComponent_Base* Sender, TqynSTUN_Message* aRequest,
                                           const std::string& aUsername, const std::string& aRealm, std::string& Password);
  void turn_serverTURNCreateAllocation(TqynComponent_Base* Sender, TqynSocketConnection* aSocket,
                                       TqynTURNAllocationItem* Allocation);

  void DoLog(const std::string& aText);
  void DoSyncMessage(TqynSyncMessages* Sender, const std::string& Value);

private:
  void CreateControls();
  void CreateServer();
  // Runs a handler as the window system does: an exception it raises is shown, never passed on.
  void RunHandler(void (TFRMTURNServer::*aHandler)());
  void ShowException(const std::string& aMessage);
};
