#include "vilmo/widgets/ButtonStyles.h"

namespace look {
namespace {

struct FillAndLine {
  ColorSpec fill;
  ColorSpec line;
};

FillAndLine colorsOf(const ButtonStyle& style) {
  if (const auto* blue = std::get_if<BlueButtonStyle>(&style)) {
    ColorSpec accent{ColorRole::Accent, blue->isDisabled ? 0.5 : 1.0};
    return {accent, accent};
  }
  if (std::holds_alternative<WhiteButtonStyle>(style)) {
    return {{ColorRole::ControlBackground}, {ColorRole::ControlBackground}};
  }
  const auto& custom = std::get<CustomButtonStyle>(style);
  return {custom.backgroundColor, custom.foregroundColor};
}

}  // namespace

ButtonBodyLook buttonBodyLook(const ButtonStyle& style, bool isPressed) {
  FillAndLine colors = colorsOf(style);
  ButtonBodyLook body;
  body.line = colors.line;
  if (isPressed) {
    body.fill = colors.fill.withOpacity(0.8);
    body.scale = 0.98;
    body.shadow = {{ColorRole::Black, 0}, 0, 0, 0};
  } else {
    body.fill = colors.fill;
    body.scale = 1.0;
    body.shadow = {{ColorRole::Black, 0.15}, 10, 0, 5};
  }
  return body;
}

ButtonBodyLook buttonBodyLookDuringPress(const ButtonStyle& style, double t) {
  ButtonBodyLook from = buttonBodyLook(style, false);
  ButtonBodyLook to = buttonBodyLook(style, true);
  auto mix = [t](double a, double b) { return a + (b - a) * t; };
  ButtonBodyLook body = from;
  body.fill.opacity = mix(from.fill.opacity, to.fill.opacity);
  body.scale = mix(from.scale, to.scale);
  body.shadow.color.opacity = mix(from.shadow.color.opacity, to.shadow.color.opacity);
  body.shadow.radius = mix(from.shadow.radius, to.shadow.radius);
  body.shadow.offsetX = mix(from.shadow.offsetX, to.shadow.offsetX);
  body.shadow.offsetY = mix(from.shadow.offsetY, to.shadow.offsetY);
  return body;
}

}  // namespace look
