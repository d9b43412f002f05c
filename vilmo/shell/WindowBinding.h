// WindowBinding: shows a platform::Window model through a Qt main window: size, minimum and
// maximum size, title and decorations follow the model, and the model follows the size the
// user gives the window.
#pragma once

#include <memory>

#include "platform/application.h"

class QMainWindow;

namespace shell {

class WindowBinding {
 public:
  // Applies the whole model at once, then each change as it comes. The window must outlive
  // the binding.
  WindowBinding(QMainWindow& window, std::shared_ptr<platform::Window> model);
  ~WindowBinding();
  WindowBinding(const WindowBinding&) = delete;
  WindowBinding& operator=(const WindowBinding&) = delete;

  const std::shared_ptr<platform::Window>& model() const { return model_; }
  QMainWindow& window() const { return window_; }

  // The content area: the window below its menu bar.
  static platform::Size contentSizeOf(const QMainWindow& window);

 private:
  class ResizeWatcher;
  void apply(const platform::Window& model, bool all);

  QMainWindow& window_;
  std::shared_ptr<platform::Window> model_;
  std::unique_ptr<ResizeWatcher> watcher_;
  // What was last applied; only what differs is applied again, so that setting the
  // title does not undo the user's resizing.
  platform::Size contentSize_;
  platform::Size minSize_;
  platform::Size maxSize_;
  std::uint64_t styleMask_ = 0;
  std::string title_;
};

}  // namespace shell
