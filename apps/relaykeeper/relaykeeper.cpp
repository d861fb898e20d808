// relaykeeper: the STUN/TURN server program. With a display it shows the server window; with
// --headless, or when no display is available, it runs the same server as a daemon whose log
// goes to standard output.
#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "FRMTURNServer.h"
#include "qynRelayKeeper_Daemon.h"
#include "qynRelayKeeper_Metrics.h"
#include "qynRelayKeeper_Options.h"

namespace {

bool EnvSet(const char* aName) {
  const char* value = std::getenv(aName);
  return value && *value;
}

// A display Qt can use: X11, Wayland, or a platform chosen explicitly (offscreen, vnc, ...).
bool HasDisplay() { return EnvSet("DISPLAY") || EnvSet("WAYLAND_DISPLAY") || EnvSet("QT_QPA_PLATFORM"); }

int RunWindow(int argc, char** argv, const TqynRelayKeeperOptions& aOptions) {
  QApplication app(argc, argv);
  InstallQtMainThreadDispatcher();
  int status = 0;
  {
    TFRMTURNServer window;
    // Declared after the window: stopped before the window's server goes.
    TqynRelayKeeperMetricsServer metrics;
    if (aOptions.Metrics && !StartRelayKeeperMetrics(metrics, *window.turn_server, aOptions)) {
      status = 1;
    } else {
      window.show();
      status = app.exec();
    }
  }
  RemoveQtMainThreadDispatcher();
  return status;
}

} // namespace

int main(int argc, char** argv) {
  TqynRelayKeeperOptions options;
  try {
    options = ParseRelayKeeperOptions(argc, argv);
  } catch (const Exception& E) {
    std::fprintf(stderr, "relaykeeper: %s\n", E.Message().c_str());
    return 2;
  }
  if (options.Help) {
    std::fputs(RelayKeeperUsage().c_str(), stdout);
    return 0;
  }
  if (!options.Headless && !HasDisplay()) {
    std::fputs("relaykeeper: no display (DISPLAY and WAYLAND_DISPLAY are not set); running headless\n", stderr);
    options.Headless = true;
  }
  if (options.Headless) return RunRelayKeeperDaemon(options);
  if (options.DaemonOptionGiven) {
    std::fputs("relaykeeper: the server options apply to --headless only (the window takes its settings from its "
               "fields)\n",
               stderr);
    return 2;
  }
  char* qtArgv[] = {argv[0], nullptr};
  int qtArgc = 1;
  return RunWindow(qtArgc, qtArgv, options);
}
