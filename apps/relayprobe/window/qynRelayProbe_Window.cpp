#include "qynRelayProbe_Window.h"

#include <QApplication>
#include <QMetaObject>

#include "FRMSTUNClient.h"
#include "qynBase_Sync.h"

void QynInstallRelayProbeDispatcher() {
  TqynMainThread::SetDispatcher([](TqynSyncProc aProc) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return;
    QMetaObject::invokeMethod(app, std::move(aProc), Qt::QueuedConnection);
  });
}

void QynRemoveRelayProbeDispatcher() { TqynMainThread::SetDispatcher({}); }

int QynRunRelayProbeWindow(int argc, char** argv) {
  QApplication app(argc, argv);
  QynInstallRelayProbeDispatcher();
  int status = 0;
  {
    TFRMSTUNClient window;
    window.show();
    status = app.exec();
  }
  QynRemoveRelayProbeDispatcher();
  return status;
}
