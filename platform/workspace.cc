#include "platform/workspace.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <optional>
#include <sstream>
#include <utility>

#include "platform/process_info.h"

namespace platform {
namespace {

// "scheme:" with the scheme's own alphabet. Also keeps anything that starts with "-" from
// reaching the opener, which would read it as an option.
bool isAbsoluteURL(const std::string& url) {
  auto colon = url.find(':');
  if (colon == std::string::npos || colon == 0) return false;
  if (!std::isalpha(static_cast<unsigned char>(url[0]))) return false;
  for (std::size_t i = 1; i < colon; ++i) {
    auto c = static_cast<unsigned char>(url[i]);
    if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

// Looked up before forking: between fork and exec only async-signal-safe calls are allowed.
std::optional<std::string> findOnPath(const std::string& name) {
  std::string path = ProcessInfo::processInfo().environmentValue("PATH").value_or("/usr/bin:/bin");
  std::istringstream folders(path);
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    if (folder.empty()) continue;
    std::string candidate = folder + "/" + name;
    struct stat info {};
    if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return std::nullopt;
}

// Starts the program with the URL as its one argument, in a grandchild that nobody waits
// for (so it leaves no zombie and outlives us), and reports whether the exec succeeded:
// the grandchild writes errno into a close-on-exec pipe only when exec fails.
bool launchDetached(const std::string& program, const std::string& url) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  const char* argv[] = {program.c_str(), url.c_str(), nullptr};

  pid_t child = ::fork();
  if (child < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    return false;
  }
  if (child == 0) {
    ::close(fds[0]);
    ::setsid();
    pid_t grandchild = ::fork();
    if (grandchild != 0) {
      if (grandchild < 0) {
        int error = errno;
        (void)!::write(fds[1], &error, sizeof error);
      }
      ::_exit(0);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    // The opened program must not inherit our sockets and files.
    ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    int devNull = ::open("/dev/null", O_RDONLY);
    if (devNull >= 0) {
      ::dup2(devNull, STDIN_FILENO);
      if (devNull != STDIN_FILENO) ::close(devNull);
    }
    ::execv(argv[0], const_cast<char* const*>(argv));
    int error = errno;
    (void)!::write(fds[1], &error, sizeof error);
    ::_exit(127);
  }

  ::close(fds[1]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  int error = 0;
  ssize_t got;
  while ((got = ::read(fds[0], &error, sizeof error)) < 0 && errno == EINTR) {
  }
  ::close(fds[0]);
  return got == 0;
}

bool openWithDesktop(const std::string& url) {
  auto program = findOnPath("xdg-open");
  return program && launchDetached(*program, url);
}

}  // namespace

Workspace& Workspace::sharedWorkspace() {
  static auto* const shared = new Workspace;
  return *shared;
}

bool Workspace::openURL(const std::string& url) {
  if (!isAbsoluteURL(url)) return false;
  Opener opener;
  {
    std::lock_guard lock(mutex_);
    opener = opener_;
  }
  return opener ? opener(url) : openWithDesktop(url);
}

Workspace::Opener Workspace::setOpener(Opener opener) {
  std::lock_guard lock(mutex_);
  std::swap(opener_, opener);
  return opener;
}

}  // namespace platform
