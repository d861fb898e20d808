// Helpers of the Qt window tests: one QApplication on Qt's offscreen platform for the whole test
// program, waiting for a condition while the test thread (Qt's main thread) runs its events, and
// reading a window's log.
#pragma once

#include <QApplication>
#include <QPlainTextEdit>
#include <QString>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

// The test program's QApplication, created on first use on the offscreen platform; aInstall runs
// once right after it (the window's main-thread dispatcher). aName must outlive the program (a
// string literal): Qt keeps the argv it is given.
inline QApplication& OffscreenApp(const char* aName, void (*aInstall)()) {
  static int argc = 1;
  static char* argv[] = {const_cast<char*>(aName), nullptr};
  static QApplication* app = [&] {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    auto* a = new QApplication(argc, argv);
    aInstall();
    return a;
  }();
  return *app;
}

// Runs the pending events for a moment.
inline void Pump() {
  QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Runs events until aCondition holds or aDeadline passes; true when it held.
template <typename F> bool PumpUntil(F aCondition, std::chrono::milliseconds aDeadline = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + aDeadline;
  while (!aCondition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    Pump();
  }
  return true;
}

// The lines of a log memo, in order (none when it is empty).
inline std::vector<std::string> LogLines(const QPlainTextEdit& aMemo) {
  std::vector<std::string> out;
  const QString text = aMemo.toPlainText();
  if (text.isEmpty()) return out;
  for (const QString& line : text.split('\n')) out.push_back(line.toStdString());
  return out;
}
