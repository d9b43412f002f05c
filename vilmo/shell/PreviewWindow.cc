#include "vilmo/shell/PreviewWindow.h"

#include <QCloseEvent>
#include <QFile>
#include <QFontDatabase>
#include <QImageReader>
#include <QLabel>
#include <QMimeDatabase>
#include <QPlainTextEdit>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <memory>

#include "platform/preview_panel.h"

#ifdef VILMO_HAVE_POPPLER_CPP
#include <poppler-document.h>
#include <poppler-image.h>
#include <poppler-page-renderer.h>
#include <poppler-page.h>
#endif

namespace shell {
namespace {

// Pictures larger than this are read scaled down: the window is small.
constexpr int kLargestImageSide = 2048;
constexpr double kPdfRenderDpi = 96;

std::optional<QImage> renderFirstPdfPage(const std::filesystem::path& file) {
#ifdef VILMO_HAVE_POPPLER_CPP
  std::unique_ptr<poppler::document> document(poppler::document::load_from_file(file.string()));
  if (!document || document->is_locked() || document->pages() < 1) return std::nullopt;
  std::unique_ptr<poppler::page> page(document->create_page(0));
  if (!page) return std::nullopt;
  poppler::page_renderer renderer;
  renderer.set_render_hint(poppler::page_renderer::antialiasing, true);
  renderer.set_render_hint(poppler::page_renderer::text_antialiasing, true);
  poppler::image rendered = renderer.render_page(page.get(), kPdfRenderDpi, kPdfRenderDpi);
  if (!rendered.is_valid()) return std::nullopt;
  QImage::Format format;
  switch (rendered.format()) {
  case poppler::image::format_argb32:
    format = QImage::Format_ARGB32;
    break;
  case poppler::image::format_rgb24:
    format = QImage::Format_RGB888;
    break;
  case poppler::image::format_bgr24:
    format = QImage::Format_BGR888;
    break;
  case poppler::image::format_gray8:
    format = QImage::Format_Grayscale8;
    break;
  case poppler::image::format_mono:
    format = QImage::Format_Mono;
    break;
  default:
    return std::nullopt;
  }
  // The renderer owns the pixels: copy them out.
  return QImage(reinterpret_cast<const uchar*>(rendered.const_data()), rendered.width(),
                rendered.height(), rendered.bytes_per_row(), format)
      .copy();
#else
  (void)file;
  return std::nullopt;
#endif
}

std::optional<QImage> readImage(const QString& path) {
  QImageReader reader(path);
  reader.setAutoTransform(true);
  if (!reader.canRead()) return std::nullopt;
  QSize size = reader.size();
  if (size.isValid() && (size.width() > kLargestImageSide || size.height() > kLargestImageSide)) {
    reader.setScaledSize(size.scaled(kLargestImageSide, kLargestImageSide, Qt::KeepAspectRatio));
  }
  QImage image = reader.read();
  if (image.isNull()) return std::nullopt;
  return image;
}

}  // namespace

PreviewContent loadPreviewContent(const std::filesystem::path& file) {
  PreviewContent content;
  content.name = QString::fromStdString(file.filename().string());
  const QString path = QString::fromStdString(file.string());
  const QMimeType type = QMimeDatabase().mimeTypeForFile(path);

  if (type.inherits(QStringLiteral("application/pdf"))) {
    if (auto page = renderFirstPdfPage(file)) {
      content.kind = PreviewContent::Kind::Image;
      content.image = std::move(*page);
    }
    return content;
  }
  if (auto image = readImage(path)) {
    content.kind = PreviewContent::Kind::Image;
    content.image = std::move(*image);
    return content;
  }
  if (type.inherits(QStringLiteral("text/plain"))) {
    QFile input(path);
    if (input.open(QIODevice::ReadOnly)) {
      content.kind = PreviewContent::Kind::Text;
      content.text = QString::fromUtf8(input.read(kTextPreviewBytes));
    }
  }
  return content;
}

PreviewWindow::PreviewWindow()
    : QWidget(nullptr, Qt::Window), pages_(new QStackedWidget(this)), image_(new QLabel),
      text_(new QPlainTextEdit), name_(new QLabel) {
  image_->setAlignment(Qt::AlignCenter);
  image_->setMinimumSize(1, 1);
  text_->setReadOnly(true);
  text_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  name_->setAlignment(Qt::AlignCenter);
  name_->setWordWrap(true);
  pages_->addWidget(image_);
  pages_->addWidget(text_);
  pages_->addWidget(name_);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(pages_);
  resize(480, 360);
  // The main window's closing ends the application, whether or not a preview is open.
  setAttribute(Qt::WA_QuitOnClose, false);
}

void PreviewWindow::present(bool visible, const std::optional<std::filesystem::path>& item) {
  if (!visible) {
    hide();
    return;
  }
  content_ = item ? loadPreviewContent(*item) : PreviewContent{};
  setWindowTitle(content_.name);
  switch (content_.kind) {
  case PreviewContent::Kind::Image:
    pages_->setCurrentWidget(image_);
    showImage();
    break;
  case PreviewContent::Kind::Text:
    text_->setPlainText(content_.text);
    pages_->setCurrentWidget(text_);
    break;
  case PreviewContent::Kind::Name:
    name_->setText(content_.name);
    pages_->setCurrentWidget(name_);
    break;
  }
  show();
  raise();
  activateWindow();
}

void PreviewWindow::showImage() {
  if (content_.kind != PreviewContent::Kind::Image || content_.image.isNull()) return;
  QSize room = image_->size();
  QImage shown = content_.image;
  if (shown.width() > room.width() || shown.height() > room.height()) {
    shown = shown.scaled(room, Qt::KeepAspectRatio, Qt::SmoothTransformation);
  }
  image_->setPixmap(QPixmap::fromImage(shown));
}

void PreviewWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  showImage();
}

void PreviewWindow::closeEvent(QCloseEvent* event) {
  auto panel = platform::PreviewPanel::sharedPreviewPanel();
  if (panel && panel->isVisible()) panel->orderOut();
  event->accept();
}

}  // namespace shell
