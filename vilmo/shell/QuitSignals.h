// QuitSignals: ends the application through its normal quit path when the process is asked
// to stop (SIGTERM from a service manager or a closing desktop session, SIGINT from Ctrl+C,
// SIGHUP from a closed terminal), so that the will-terminate work still runs.
#pragma once

#include <memory>

class QSocketNotifier;

namespace shell {

class QuitSignals {
 public:
  // Needs the QCoreApplication. At most one exists at a time; the signals' earlier
  // handling is restored when it goes.
  QuitSignals();
  ~QuitSignals();
  QuitSignals(const QuitSignals&) = delete;
  QuitSignals& operator=(const QuitSignals&) = delete;

 private:
  int readEnd_ = -1;
  int writeEnd_ = -1;
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace shell
