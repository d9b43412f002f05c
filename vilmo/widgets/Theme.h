// Theme: how the window's look maps onto Qt: the display font, colour roles resolved
// against the palette, localisable texts and the bundle's images.
#pragma once

#include <string>

#include <QColor>
#include <QFont>
#include <QPalette>
#include <QPixmap>
#include <QString>

#include "vilmo/widgets/ColorSpec.h"

class QLabel;
class QWidget;

namespace look {

// "SF Pro Display" where installed, else the system's sans-serif narrowed to about its
// proportions, at a size given in the window's length unit (logical pixels, as every
// other size of the look), so that texts keep their proportions to the fixed columns.
QFont displayFont(double size, bool bold);

// Accent is the palette's highlight, primary its window text, the control background its
// base colour.
QColor resolveColor(const ColorSpec& color, const QPalette& palette);
// Sets the colour the widget draws its text in.
void setTextColor(QWidget* widget, const ColorSpec& color);

// The text shown for a localisable key; the English key itself without a translation.
QString localized(const char* key);
QString localized(const std::string& key);

// The image "<bundle>/Images/<name>.png"; a null pixmap when the bundle has none.
QPixmap assetImage(const std::string& name);
// A label showing that image stretched to size × size, named after the image.
QLabel* imageLabel(const std::string& name, int size, QWidget* parent);

// Makes the widget a drop zone that grows with its column, with the text (a localisable
// key) centred in it, dimmed, in the bold display font.
void layOutDropZone(QWidget& zone, const char* textKey);

// Paints a drop zone over the whole widget: the window background in a rounded rectangle
// with a dashed border in the primary colour.
void paintDropZone(QWidget& widget);

}  // namespace look
