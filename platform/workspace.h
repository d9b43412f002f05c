// Workspace: hands URLs to the user's desktop, which opens each in the program the user
// chose for it (a web address in the browser).
#pragma once

#include <functional>
#include <mutex>
#include <string>

namespace platform {

class Workspace {
 public:
  // Opens a URL; true when it was handed over.
  using Opener = std::function<bool(const std::string& url)>;

  static Workspace& sharedWorkspace();

  // False for anything that is not an absolute URL ("scheme:..."), which is never handed
  // over, and when the opener fails. The default opener starts `xdg-open` found on PATH,
  // detached, and fails when it is missing or cannot be started.
  bool openURL(const std::string& url);

  // Replaces the opener (tests install one that records); an empty one restores the
  // default. Returns the opener it replaced (empty for the default).
  Opener setOpener(Opener opener);

  Workspace(const Workspace&) = delete;
  Workspace& operator=(const Workspace&) = delete;

 private:
  Workspace() = default;

  std::mutex mutex_;
  Opener opener_;
};

}  // namespace platform
