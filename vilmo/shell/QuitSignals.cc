#include "vilmo/shell/QuitSignals.h"

#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <iterator>

namespace shell {
namespace {

constexpr int kQuitSignals[] = {SIGTERM, SIGINT, SIGHUP};

// The handler only wakes the event loop, through a pipe it watches: quitting takes locks
// and memory, which a signal handler must not touch.
std::atomic<int> wakeUpFd{-1};
struct sigaction earlierActions[std::size(kQuitSignals)];

void wakeUpEventLoop(int signalNumber) {
  const int savedErrno = errno;
  const int fd = wakeUpFd.load();
  const unsigned char byte = static_cast<unsigned char>(signalNumber);
  if (fd >= 0) {
    // A full pipe already holds a wake-up.
    [[maybe_unused]] ssize_t written = ::write(fd, &byte, 1);
  }
  errno = savedErrno;
}

}  // namespace

QuitSignals::QuitSignals() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return;
  readEnd_ = ends[0];
  writeEnd_ = ends[1];
  wakeUpFd = writeEnd_;

  notifier_ = std::make_unique<QSocketNotifier>(readEnd_, QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] {
    unsigned char drained[64];
    while (::read(readEnd_, drained, sizeof drained) > 0) {
    }
    QCoreApplication::quit();
  });

  struct sigaction action {};
  action.sa_handler = wakeUpEventLoop;
  sigemptyset(&action.sa_mask);
  // The first signal asks politely; should quitting hang, the next one of the same kind
  // ends the process as it always would.
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  for (std::size_t i = 0; i < std::size(kQuitSignals); ++i) {
    ::sigaction(kQuitSignals[i], nullptr, &earlierActions[i]);
    // A signal the starter chose to ignore (nohup, a background job) stays ignored.
    if (earlierActions[i].sa_handler == SIG_IGN) continue;
    ::sigaction(kQuitSignals[i], &action, nullptr);
  }
}

QuitSignals::~QuitSignals() {
  if (writeEnd_ < 0) return;
  for (std::size_t i = 0; i < std::size(kQuitSignals); ++i) {
    ::sigaction(kQuitSignals[i], &earlierActions[i], nullptr);
  }
  wakeUpFd = -1;
  notifier_.reset();
  ::close(readEnd_);
  ::close(writeEnd_);
}

}  // namespace shell
