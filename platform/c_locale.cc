#include "platform/c_locale.h"

namespace platform {

namespace {

locale_t cLocale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return locale;
}

}  // namespace

CLocaleScope::CLocaleScope() : previous_(uselocale(cLocale())) {}

CLocaleScope::~CLocaleScope() { uselocale(previous_); }

}  // namespace platform
