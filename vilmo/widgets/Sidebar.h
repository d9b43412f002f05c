// Sidebar: what the left column of a flow screen shows: the step image, the flow's name
// over its three steps, and the sidebar buttons at the bottom.
#pragma once

#include <string>
#include <vector>

#include "vilmo/widgets/CustomButton.h"
#include "vilmo/widgets/StepItem.h"

struct Sidebar {
  std::string imageName;
  std::string header;
  std::vector<StepItem> steps;
  std::vector<CustomButton> buttons;

  static constexpr double kWidth = 172;
  static constexpr double kMinimumHeight = 353;
  static constexpr double kImageSize = 104;
};
