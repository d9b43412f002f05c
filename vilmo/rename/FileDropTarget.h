// FileDropTarget: makes a widget accept files dragged onto it and hands the dropped files,
// as local paths, to a handler; no highlight is shown while a drag hovers.
#pragma once

#include <filesystem>
#include <functional>
#include <vector>

#include <QObject>

class QMimeData;

class FileDropTarget : public QObject {
  Q_OBJECT

 public:
  using Handler = std::function<void(std::vector<std::filesystem::path>)>;

  // Watches the widget for drags; owned by it.
  FileDropTarget(QWidget* widget, Handler handler);

  // The dropped items that are local files, in the order given; other items are left out.
  static std::vector<std::filesystem::path> localFiles(const QMimeData& data);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  Handler handler_;
};
