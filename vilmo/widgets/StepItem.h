// StepItem: one numbered step of a flow as the sidebar lists it ("①" "Drop files"); the
// active step stands out, the others are dimmed.
#pragma once

#include <string>

#include "vilmo/widgets/ColorSpec.h"

struct StepItem {
  std::string number;
  std::string text;
  bool isActive = false;

  static constexpr double kHeight = 28;
  static constexpr double kNumberWidth = 20;

  look::ColorSpec numberColor() const {
    return isActive ? look::ColorSpec{look::ColorRole::Accent}
                    : look::ColorSpec{look::ColorRole::Primary, 0.25};
  }
  look::ColorSpec textColor() const { return {look::ColorRole::Primary, isActive ? 1.0 : 0.25}; }
};
