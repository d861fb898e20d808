// The relayprobe window as a program: the Qt application, the main-thread relay forwarded to
// its event loop, the window TFRMSTUNClient and the message loop.
#pragma once

// Forwards the main-thread relay's calls to the Qt event loop (queued on the application object);
// the calling thread becomes the main thread. Call it after the QApplication exists.
void QynInstallRelayProbeDispatcher();
// Removes that dispatcher (before the QApplication goes).
void QynRemoveRelayProbeDispatcher();

// Creates the QApplication with aArgc/aArgv, shows the window and runs the loop until the window
// is closed; returns the loop's exit status.
int QynRunRelayProbeWindow(int argc, char** argv);
