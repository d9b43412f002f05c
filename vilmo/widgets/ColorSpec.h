// ColorSpec: a colour named by its role in the look (accent, primary label, ...) with an
// opacity, resolved against the palette only when drawn, so that looks are plain values.
#pragma once

namespace look {

enum class ColorRole {
  Accent,             // the application's accent colour
  Primary,            // the standard label colour, following light and dark appearance
  ControlBackground,  // the background of controls
  Gray,
  Clear,
  Black,
  White,
  Secondary,         // the secondary label colour
  WindowBackground,  // the window's background
  TextBackground,    // the background behind editable and popover text
  SystemRed,         // the system's red, for errors
};

struct ColorSpec {
  ColorRole role = ColorRole::Primary;
  double opacity = 1.0;

  // The same colour with its alpha multiplied by factor.
  constexpr ColorSpec withOpacity(double factor) const { return {role, opacity * factor}; }

  friend constexpr bool operator==(const ColorSpec&, const ColorSpec&) = default;
};

}  // namespace look
