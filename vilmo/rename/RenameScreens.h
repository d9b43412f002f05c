// RenameScreens: what the rename flow's three screens share: the stripes of their file
// lists and the external feedback form.
#pragma once

#include <cstddef>

#include "vilmo/widgets/ColorSpec.h"

// Row 0 is tinted with the primary colour at 0.06, row 1 shows the window background, and
// so on.
look::ColorSpec fileRowBackground(std::size_t index);

// Opens the configured feedback form in the user's browser. With no form configured, or an
// address that is not a URL, nothing opens and nothing is reported. No event is sent.
void openFeedbackForm();
