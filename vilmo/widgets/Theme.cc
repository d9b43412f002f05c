#include "vilmo/widgets/Theme.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontInfo>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>
#include <QWidget>

#include "platform/bundle.h"

namespace look {
namespace {

constexpr char kDisplayFamily[] = "SF Pro Display";

}  // namespace

QFont displayFont(double size, bool bold) {
  QFont font;
  font.setFamilies({QString::fromLatin1(kDisplayFamily),
                    QFontDatabase::systemFont(QFontDatabase::GeneralFont).family()});
  font.setPixelSize(static_cast<int>(size + 0.5));
  font.setBold(bold);
  // The usual sans-serif fallbacks run wider than the display face the fixed column widths
  // were measured with; narrowed to its proportions, sidebar texts fit as intended.
  if (QFontInfo(font).family() != QLatin1String(kDisplayFamily)) font.setStretch(85);
  return font;
}

QColor resolveColor(const ColorSpec& color, const QPalette& palette) {
  QColor base;
  switch (color.role) {
  case ColorRole::Accent:
    base = palette.color(QPalette::Highlight);
    break;
  case ColorRole::Primary:
    base = palette.color(QPalette::WindowText);
    break;
  case ColorRole::ControlBackground:
    base = palette.color(QPalette::Base);
    break;
  case ColorRole::Gray:
    base = QColor(Qt::gray);
    break;
  case ColorRole::Clear:
    base = QColor(Qt::transparent);
    break;
  case ColorRole::Black:
    base = QColor(Qt::black);
    break;
  case ColorRole::White:
    base = QColor(Qt::white);
    break;
  case ColorRole::Secondary:
    base = palette.color(QPalette::WindowText);
    base.setAlphaF(base.alphaF() * 0.5f);
    break;
  case ColorRole::WindowBackground:
    base = palette.color(QPalette::Window);
    break;
  case ColorRole::TextBackground:
    base = palette.color(QPalette::Base);
    break;
  case ColorRole::SystemRed:
    base = QColor(255, 59, 48);
    break;
  }
  base.setAlphaF(static_cast<float>(base.alphaF() * color.opacity));
  return base;
}

void setTextColor(QWidget* widget, const ColorSpec& color) {
  // Resolved against the application's palette: the widget's own may carry an earlier
  // colour with its opacity already applied.
  QColor resolved = resolveColor(color, QApplication::palette(widget));
  QPalette palette = widget->palette();
  palette.setColor(QPalette::WindowText, resolved);
  palette.setColor(QPalette::Text, resolved);
  palette.setColor(QPalette::ButtonText, resolved);
  widget->setPalette(palette);
}

QString localized(const char* key) { return QCoreApplication::translate("Vilmo", key); }

QString localized(const std::string& key) { return localized(key.c_str()); }

QPixmap assetImage(const std::string& name) {
  auto path = platform::Bundle::main().pathForResource("Images/" + name, "png");
  if (!path) return {};
  return QPixmap(QString::fromStdString(path->string()));
}

QLabel* imageLabel(const std::string& name, int size, QWidget* parent) {
  auto* image = new QLabel(parent);
  image->setObjectName(QString::fromStdString(name));
  image->setFixedSize(size, size);
  image->setScaledContents(true);
  image->setPixmap(assetImage(name));
  return image;
}

void layOutDropZone(QWidget& zone, const char* textKey) {
  zone.setObjectName(QStringLiteral("dropZone"));
  zone.setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
  auto* stack = new QVBoxLayout(&zone);
  stack->addStretch(1);
  auto* text = new QLabel(localized(textKey), &zone);
  text->setFont(displayFont(13, true));
  text->setAlignment(Qt::AlignCenter);
  setTextColor(text, {ColorRole::Primary, 0.25});
  stack->addWidget(text);
  stack->addStretch(1);
}

void paintDropZone(QWidget& widget) {
  QPainter painter(&widget);
  painter.setRenderHint(QPainter::Antialiasing);
  constexpr double kRadius = 6;
  const QRectF bounds(widget.rect());
  QPainterPath fill;
  fill.addRoundedRect(bounds, kRadius, kRadius);
  painter.fillPath(fill, resolveColor({ColorRole::WindowBackground}, widget.palette()));
  // The border lies inside the bounds.
  QPen pen(resolveColor({ColorRole::Primary}, widget.palette()), 1, Qt::CustomDashLine, Qt::FlatCap,
           Qt::MiterJoin);
  pen.setDashPattern({5, 5});
  pen.setDashOffset(0);
  pen.setMiterLimit(10);
  painter.setPen(pen);
  QPainterPath border;
  border.addRoundedRect(bounds.adjusted(0.5, 0.5, -0.5, -0.5), kRadius, kRadius);
  painter.drawPath(border);
}

}  // namespace look
