// PreviewWindow: the small window that draws the shared preview panel: an image, the first
// page of a PDF, the start of a text file, or else the file's name.
#pragma once

#include <QImage>
#include <QString>
#include <QWidget>
#include <filesystem>
#include <optional>

class QLabel;
class QPlainTextEdit;
class QStackedWidget;

namespace shell {

// What the preview of one file shows.
struct PreviewContent {
  enum class Kind { Image, Text, Name };
  Kind kind = Kind::Name;
  QImage image;  // Image: the picture, or the PDF's first page
  QString text;  // Text: at most the first kTextPreviewBytes of the file
  QString name;  // the file's name, always
};

inline constexpr qint64 kTextPreviewBytes = 4096;

PreviewContent loadPreviewContent(const std::filesystem::path& file);

class PreviewWindow : public QWidget {
 public:
  PreviewWindow();

  // The panel's presenter: shows the item (or an empty window without one) or hides.
  void present(bool visible, const std::optional<std::filesystem::path>& item);

  const PreviewContent& content() const { return content_; }

 protected:
  // Closing the window by hand closes the panel, so that both agree on what is visible.
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void showImage();

  PreviewContent content_;
  QStackedWidget* pages_;
  QLabel* image_;
  QPlainTextEdit* text_;
  QLabel* name_;
};

}  // namespace shell
