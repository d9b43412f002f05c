// PreviewPanel: the one shared panel that previews a file (an image, a PDF's first page,
// the start of a text file). The application asks it to show or hide; a data source
// supplies the items, and a controller takes charge of the panel.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

namespace platform {

class PreviewPanel;

// Supplies the items the panel shows.
class PreviewPanelDataSource {
 public:
  virtual ~PreviewPanelDataSource() = default;
  virtual long numberOfPreviewItemsInPreviewPanel(PreviewPanel& panel) = 0;
  virtual std::optional<std::filesystem::path> previewItemAtIndex(PreviewPanel& panel,
                                                                  long index) = 0;
};

// Takes part in the panel's control; it may set itself as data source and delegate.
class PreviewPanelDelegate {
 public:
  virtual ~PreviewPanelDelegate() = default;
  virtual bool acceptsPreviewPanelControl(PreviewPanel& panel) = 0;
  virtual void beginPreviewPanelControl(PreviewPanel& panel) = 0;
  virtual void endPreviewPanelControl(PreviewPanel& panel) = 0;
};

class PreviewPanel {
 public:
  // What actually draws the panel (the application's window for it). It is told each
  // time the panel is shown, with the item to draw, and when it is hidden.
  using Presenter = std::function<void(bool visible, const std::optional<std::filesystem::path>&)>;

  // The shared panel; none until a presenter has been installed (no display).
  static std::shared_ptr<PreviewPanel> sharedPreviewPanel();
  static void installPresenter(Presenter presenter);

  std::shared_ptr<PreviewPanelDataSource> dataSource() const;
  void setDataSource(std::shared_ptr<PreviewPanelDataSource> dataSource);
  std::shared_ptr<PreviewPanelDelegate> delegate() const;
  void setDelegate(std::shared_ptr<PreviewPanelDelegate> delegate);

  bool isVisible() const;
  // Shows the panel with the data source's first item; a delegate that accepts control
  // is given it first.
  void makeKeyAndOrderFront();
  // Hides the panel; the controlling delegate's control ends.
  void orderOut();

 private:
  PreviewPanel() = default;

  // Main thread only, as the panel itself.
  std::shared_ptr<PreviewPanelDataSource> dataSource_;
  std::shared_ptr<PreviewPanelDelegate> delegate_;
  // The delegate that holds control now, and the last one that took it: the panel asks
  // that one again when shown without a delegate, as it would find its controller among
  // the application's responders.
  std::shared_ptr<PreviewPanelDelegate> controller_;
  std::weak_ptr<PreviewPanelDelegate> lastController_;
  bool visible_ = false;
};

}  // namespace platform
