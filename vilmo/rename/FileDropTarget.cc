#include "vilmo/rename/FileDropTarget.h"

#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QUrl>
#include <QWidget>

FileDropTarget::FileDropTarget(QWidget* widget, Handler handler)
    : QObject(widget), handler_(std::move(handler)) {
  widget->setAcceptDrops(true);
  widget->installEventFilter(this);
}

std::vector<std::filesystem::path> FileDropTarget::localFiles(const QMimeData& data) {
  std::vector<std::filesystem::path> files;
  for (const QUrl& url : data.urls()) {
    if (!url.isLocalFile()) continue;
    QString path = url.toLocalFile();
    if (path.isEmpty()) continue;
    files.emplace_back(QFile::encodeName(path).toStdString());
  }
  return files;
}

bool FileDropTarget::eventFilter(QObject* watched, QEvent* event) {
  switch (event->type()) {
  case QEvent::DragEnter:
  case QEvent::DragMove: {
    auto* drag = static_cast<QDragMoveEvent*>(event);
    if (!drag->mimeData()->hasUrls()) return false;
    drag->acceptProposedAction();
    return true;
  }
  case QEvent::Drop: {
    auto* drop = static_cast<QDropEvent*>(event);
    if (!drop->mimeData()->hasUrls()) return false;
    drop->acceptProposedAction();
    // Copied: the handler may change what the widget shows.
    Handler handler = handler_;
    handler(localFiles(*drop->mimeData()));
    return true;
  }
  default:
    return QObject::eventFilter(watched, event);
  }
}
