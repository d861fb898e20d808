// relayprobe: the STUN/TURN client program. Without a command it shows the client window (when
// the window is built and a display is available); with commands it is the command-line probe,
// which needs no display.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "qynRelayProbe_Options.h"
#include "qynRelayProbe_Probe.h"

#if QYN_RELAYPROBE_WINDOW
#include "qynRelayProbe_Window.h"
#endif

namespace {

int Refuse(const std::string& aReason) {
  std::fprintf(stderr, "relayprobe: %s\n%s", aReason.c_str(), RelayProbeShortUsage().c_str());
  return 2;
}

#if QYN_RELAYPROBE_WINDOW
bool EnvSet(const char* aName) {
  const char* value = std::getenv(aName);
  return value && *value;
}

// A display Qt can use: X11, Wayland, or a platform chosen explicitly (offscreen, vnc, ...).
bool HasDisplay() { return EnvSet("DISPLAY") || EnvSet("WAYLAND_DISPLAY") || EnvSet("QT_QPA_PLATFORM"); }
#endif

// No command: the window, or how to use the probe when there can be none.
int StartWindow([[maybe_unused]] const TqynRelayProbeOptions& aOptions, [[maybe_unused]] char* aProgram) {
#if QYN_RELAYPROBE_WINDOW
  if (!HasDisplay()) return Refuse("no command given, and no display for the window (DISPLAY and WAYLAND_DISPLAY are not set)");
  if (aOptions.OptionGiven)
    return Refuse("the options apply to commands (the window takes its settings from its fields)");
  char* qtArgv[] = {aProgram, nullptr};
  return QynRunRelayProbeWindow(1, qtArgv);
#else
  return Refuse("no command given (this relayprobe is built without its window)");
#endif
}

} // namespace

int main(int argc, char** argv) {
  TqynRelayProbeOptions options;
  try {
    options = ParseRelayProbeOptions(argc, argv);
  } catch (const Exception& E) {
    std::fprintf(stderr, "relayprobe: %s\n", E.Message().c_str());
    return 2;
  }
  if (options.Help) {
    std::fputs(RelayProbeUsage().c_str(), stdout);
    return 0;
  }
  if (options.Commands.empty()) return StartWindow(options, argv[0]);
  return RunRelayProbe(options);
}
