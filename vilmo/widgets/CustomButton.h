// CustomButton: the sidebar's icon-and-text button; an inactive one dims its text, never
// its icon.
#pragma once

#include <functional>
#include <string>

#include "vilmo/widgets/ButtonStyles.h"

struct CustomButton {
  // Name of an image in the bundle's Images folder.
  std::string iconName;
  std::string text;
  bool isActive = false;
  std::function<void()> action;

  static constexpr double kLabelHeight = 22;
  static constexpr double kIconSize = 20;

  look::ColorSpec textColor() const { return {look::ColorRole::Primary, isActive ? 1.0 : 0.25}; }
  // A transparent body with a faint outline.
  static look::CustomButtonStyle style() {
    return {{look::ColorRole::Clear}, {look::ColorRole::Primary, 0.1}};
  }
};
