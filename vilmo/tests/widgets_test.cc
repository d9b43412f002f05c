#include <string>

#include <QApplication>
#include <QGraphicsDropShadowEffect>
#include <QLabel>
#include <QMouseEvent>
#include <gtest/gtest.h>

#include "vilmo/tests/content_view_test_support.h"
#include "vilmo/widgets/ButtonStyles.h"
#include "vilmo/widgets/CustomButton.h"
#include "vilmo/widgets/CustomButtonWidget.h"
#include "vilmo/widgets/StepItem.h"
#include "vilmo/widgets/StepItemWidget.h"
#include "vilmo/widgets/StyledButton.h"
#include "vilmo/widgets/Theme.h"

namespace look {
void PrintTo(const ColorSpec& color, std::ostream* os) {
  *os << "role " << static_cast<int>(color.role) << " at " << color.opacity;
}
}  // namespace look

namespace {

using look::ColorRole;
using look::ColorSpec;

TEST(ButtonStylesTest, BodyLookByStyleAndPress) {
  const look::Shadow resting{{ColorRole::Black, 0.15}, 10, 0, 5};
  const look::Shadow none{{ColorRole::Black, 0}, 0, 0, 0};
  const look::CustomButtonStyle sidebar{{ColorRole::Clear}, {ColorRole::Primary, 0.1}};
  struct Case {
    const char* label;
    look::ButtonStyle style;
    bool pressed;
    ColorSpec fill, line;
    double scale;
    look::Shadow shadow;
  } cases[] = {
      {"blue",
       look::BlueButtonStyle{false},
       false,
       {ColorRole::Accent},
       {ColorRole::Accent},
       1.0,
       resting},
      {"blue pressed",
       look::BlueButtonStyle{false},
       true,
       {ColorRole::Accent, 0.8},
       {ColorRole::Accent},
       0.98,
       none},
      {"blue disabled",
       look::BlueButtonStyle{true},
       false,
       {ColorRole::Accent, 0.5},
       {ColorRole::Accent, 0.5},
       1.0,
       resting},
      {"blue disabled pressed",
       look::BlueButtonStyle{true},
       true,
       {ColorRole::Accent, 0.4},
       {ColorRole::Accent, 0.5},
       0.98,
       none},
      {"white",
       look::WhiteButtonStyle{},
       false,
       {ColorRole::ControlBackground},
       {ColorRole::ControlBackground},
       1.0,
       resting},
      {"white pressed",
       look::WhiteButtonStyle{},
       true,
       {ColorRole::ControlBackground, 0.8},
       {ColorRole::ControlBackground},
       0.98,
       none},
      {"custom", sidebar, false, {ColorRole::Clear}, {ColorRole::Primary, 0.1}, 1.0, resting},
      {"custom pressed",
       sidebar,
       true,
       {ColorRole::Clear, 0.8},
       {ColorRole::Primary, 0.1},
       0.98,
       none},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    look::ButtonBodyLook body = look::buttonBodyLook(c.style, c.pressed);
    EXPECT_EQ(body.fill.role, c.fill.role);
    EXPECT_DOUBLE_EQ(body.fill.opacity, c.fill.opacity);
    EXPECT_EQ(body.line, c.line);
    EXPECT_DOUBLE_EQ(body.scale, c.scale);
    EXPECT_EQ(body.shadow, c.shadow);
  }
}

TEST(ButtonStylesTest, PressAnimationMovesBetweenTheTwoLooks) {
  look::ButtonStyle blue = look::BlueButtonStyle{false};
  EXPECT_EQ(look::buttonBodyLookDuringPress(blue, 0), look::buttonBodyLook(blue, false));
  look::ButtonBodyLook pressed = look::buttonBodyLookDuringPress(blue, 1);
  EXPECT_DOUBLE_EQ(pressed.scale, 0.98);
  EXPECT_DOUBLE_EQ(pressed.fill.opacity, 0.8);
  look::ButtonBodyLook half = look::buttonBodyLookDuringPress(blue, 0.5);
  EXPECT_DOUBLE_EQ(half.scale, 0.99);
  EXPECT_DOUBLE_EQ(half.fill.opacity, 0.9);
  EXPECT_DOUBLE_EQ(half.shadow.color.opacity, 0.075);
  EXPECT_DOUBLE_EQ(half.shadow.radius, 5);
  EXPECT_DOUBLE_EQ(half.shadow.offsetY, 2.5);
  EXPECT_EQ(half.line, pressed.line);
}

TEST(SidebarBlocksTest, InactiveStepsAndButtonsAreDimmed) {
  StepItem active{"\u2460", "Drop files", true};
  StepItem inactive{"\u2461", "Rename", false};
  EXPECT_EQ(active.numberColor(), (ColorSpec{ColorRole::Accent, 1}));
  EXPECT_EQ(active.textColor(), (ColorSpec{ColorRole::Primary, 1}));
  EXPECT_EQ(inactive.numberColor(), (ColorSpec{ColorRole::Primary, 0.25}));
  EXPECT_EQ(inactive.textColor(), (ColorSpec{ColorRole::Primary, 0.25}));

  CustomButton on{"uil_setting", "Settings", true, {}};
  CustomButton off{"uil_setting", "Settings", false, {}};
  EXPECT_EQ(on.textColor(), (ColorSpec{ColorRole::Primary, 1}));
  EXPECT_EQ(off.textColor(), (ColorSpec{ColorRole::Primary, 0.25}));
  EXPECT_EQ(CustomButton::style(),
            (look::CustomButtonStyle{{ColorRole::Clear}, {ColorRole::Primary, 0.1}}));
}

class WidgetsTest : public vilmo_test::WidgetTest {};

TEST_F(WidgetsTest, ColorsComeFromThePalette) {
  QPalette palette;
  palette.setColor(QPalette::Highlight, QColor(10, 20, 200));
  palette.setColor(QPalette::WindowText, QColor(30, 30, 30));
  palette.setColor(QPalette::Base, QColor(250, 250, 250));
  EXPECT_EQ(look::resolveColor({ColorRole::Accent}, palette), QColor(10, 20, 200));
  QColor faded = look::resolveColor({ColorRole::Primary, 0.25}, palette);
  EXPECT_EQ(faded.rgb(), QColor(30, 30, 30).rgb());
  EXPECT_NEAR(faded.alphaF(), 0.25, 0.01);
  EXPECT_EQ(look::resolveColor({ColorRole::ControlBackground}, palette), QColor(250, 250, 250));
  EXPECT_EQ(look::resolveColor({ColorRole::Clear, 0.8}, palette).alpha(), 0);
}

// Sends a left-button press or release to the middle of the button.
void sendMouse(QWidget& widget, QEvent::Type type) {
  QPointF centre = QRectF(widget.rect()).center();
  QMouseEvent event(type, centre, widget.mapToGlobal(centre), Qt::LeftButton,
                    type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                    Qt::NoModifier);
  QApplication::sendEvent(&widget, &event);
}

TEST_F(WidgetsTest, APressEasesIntoThePressedLookAndAReleaseBack) {
  const look::ButtonStyle style = look::BlueButtonStyle{false};
  StyledButton button("Next", style);
  button.resize(button.sizeHint());
  auto* shadow = qobject_cast<QGraphicsDropShadowEffect*>(button.graphicsEffect());
  ASSERT_NE(shadow, nullptr);
  EXPECT_DOUBLE_EQ(shadow->blurRadius(), 10);
  EXPECT_EQ(shadow->offset(), QPointF(0, 5));
  EXPECT_NEAR(shadow->color().alphaF(), 0.15, 0.01);

  sendMouse(button, QEvent::MouseButtonPress);
  // Eased, not switched: nothing has moved before the animation runs.
  EXPECT_DOUBLE_EQ(button.currentLook().scale, 1.0);
  ASSERT_TRUE(
      vilmo_test::processQtEventsUntil([&] { return button.currentLook().scale < 0.98 + 1e-9; }));
  look::ButtonBodyLook pressed = button.currentLook();
  EXPECT_EQ(pressed.fill.role, look::ColorRole::Accent);
  EXPECT_DOUBLE_EQ(pressed.fill.opacity, 0.8);
  EXPECT_DOUBLE_EQ(shadow->blurRadius(), 0);
  EXPECT_EQ(shadow->color().alpha(), 0);

  sendMouse(button, QEvent::MouseButtonRelease);
  ASSERT_TRUE(
      vilmo_test::processQtEventsUntil([&] { return button.currentLook().scale > 1.0 - 1e-9; }));
  EXPECT_EQ(button.currentLook(), look::buttonBodyLook(style, false));
  EXPECT_DOUBLE_EQ(shadow->blurRadius(), 10);
  EXPECT_NEAR(shadow->color().alphaF(), 0.15, 0.01);
}

TEST_F(WidgetsTest, ADisabledLookingBlueButtonStillFires) {
  int clicks = 0;
  StyledButton next("Next", look::BlueButtonStyle{true});
  QObject::connect(&next, &QAbstractButton::clicked, [&] { ++clicks; });
  next.click();
  EXPECT_EQ(clicks, 1);
  EXPECT_DOUBLE_EQ(next.currentLook().fill.opacity, 0.5);
  // The screen's own disabling is what stops it.
  next.setEnabled(false);
  next.click();
  EXPECT_EQ(clicks, 1);
}

TEST_F(WidgetsTest, StyledButtonPadsItsLabel) {
  StyledButton button("Apply", look::WhiteButtonStyle{});
  QFontMetrics metrics(button.font());
  EXPECT_EQ(button.sizeHint().width(),
            std::max(metrics.horizontalAdvance("Apply"), metrics.boundingRect("Apply").width()) +
                14);
  const int oneLine =
      metrics.boundingRect(QRect(0, 0, 1000, 1000), Qt::TextWordWrap, "Apply").height();
  EXPECT_EQ(button.sizeHint().height(), oneLine + 6);
  // A two-word label stays on one line at the width it asks for.
  StyledButton twoWords("Start Over", look::WhiteButtonStyle{});
  EXPECT_EQ(twoWords.sizeHint().height(), oneLine + 6);
}

TEST_F(WidgetsTest, CustomButtonRunsItsActionAndKeepsItsHeight) {
  int runs = 0;
  CustomButtonWidget button({"uil_setting", "A sidebar text long enough to wrap onto several lines",
                             false, [&] { ++runs; }});
  button.resize(132, button.sizeHint().height());
  button.click();
  EXPECT_EQ(runs, 1);
  // 22 for the label and the style's 3 above and below, whatever the text.
  EXPECT_EQ(button.sizeHint().height(), 28);
  EXPECT_EQ(button.labelColor(), (ColorSpec{ColorRole::Primary, 0.25}));
  // The picture is painted without trouble when the text overflows.
  EXPECT_FALSE(button.grab().isNull());
}

TEST_F(WidgetsTest, StepItemRowHasAFixedHeight) {
  StepItemWidget item({"\u2462", "A step text long enough to wrap onto several lines", false});
  item.resize(132, 100);
  EXPECT_EQ(item.height(), 28);
  EXPECT_EQ(item.numberLabel()->text(), "\u2462");
  EXPECT_EQ(item.numberLabel()->width(), 20);
  EXPECT_TRUE(item.textLabel()->wordWrap());
}

TEST_F(WidgetsTest, StepItemRowsDrawTheirNumberAndTextInTheirColours) {
  for (bool active : {true, false}) {
    SCOPED_TRACE(active);
    StepItem step{"\u2460", "Drop files", active};
    StepItemWidget item(step);
    const QPalette palette = QApplication::palette();
    EXPECT_EQ(item.numberLabel()->palette().color(QPalette::WindowText),
              look::resolveColor(step.numberColor(), palette));
    EXPECT_EQ(item.textLabel()->palette().color(QPalette::WindowText),
              look::resolveColor(step.textColor(), palette));
  }
}

}  // namespace
