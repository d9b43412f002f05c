// ButtonStyles: the three looks of the window's buttons (primary blue, secondary white, and
// free colours for the sidebar buttons) and the body every one of them draws, as a pure
// function of the style and the pressed flag.
#pragma once

#include <variant>

#include "vilmo/widgets/ColorSpec.h"

namespace look {

// The primary action of a screen. isDisabled changes the look only; whether the button
// reacts is up to the screen.
struct BlueButtonStyle {
  bool isDisabled = false;
  friend constexpr bool operator==(const BlueButtonStyle&, const BlueButtonStyle&) = default;
};

// Secondary actions.
struct WhiteButtonStyle {
  friend constexpr bool operator==(const WhiteButtonStyle&, const WhiteButtonStyle&) = default;
};

struct CustomButtonStyle {
  ColorSpec backgroundColor;
  ColorSpec foregroundColor;
  friend constexpr bool operator==(const CustomButtonStyle&, const CustomButtonStyle&) = default;
};

using ButtonStyle = std::variant<BlueButtonStyle, WhiteButtonStyle, CustomButtonStyle>;

struct Shadow {
  ColorSpec color{ColorRole::Black, 0};
  double radius = 0;
  double offsetX = 0;
  double offsetY = 0;
  friend constexpr bool operator==(const Shadow&, const Shadow&) = default;
};

// How a styled button's body is drawn: the label padded, filled, outlined and clipped to
// a rounded rectangle, scaled about its centre, with a drop shadow.
struct ButtonBodyLook {
  ColorSpec fill;
  // The label's default colour and the outline's.
  ColorSpec line;
  double scale = 1.0;
  Shadow shadow;

  static constexpr double kVerticalPadding = 3;
  static constexpr double kHorizontalPadding = 7;
  static constexpr double kCornerRadius = 6;
  static constexpr double kLineWidth = 1;
  // Changes of the pressed state ease in and out over this time.
  static constexpr double kPressAnimationSeconds = 0.2;

  friend constexpr bool operator==(const ButtonBodyLook&, const ButtonBodyLook&) = default;
};

ButtonBodyLook buttonBodyLook(const ButtonStyle& style, bool isPressed);

// The look a fraction t (0 to 1) of the way from the released to the pressed look of the
// style, as the press animation draws it.
ButtonBodyLook buttonBodyLookDuringPress(const ButtonStyle& style, double t);

}  // namespace look
