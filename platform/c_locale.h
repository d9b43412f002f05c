// CLocaleScope: runs C library number conversions in the C locale on this thread, so
// that text such as "0.5" is written and read the same whatever locale the process set
// (a GUI toolkit sets the user's locale at start-up).
#pragma once

#include <locale.h>

namespace platform {

class CLocaleScope {
 public:
  CLocaleScope();
  ~CLocaleScope();
  CLocaleScope(const CLocaleScope&) = delete;
  CLocaleScope& operator=(const CLocaleScope&) = delete;

 private:
  locale_t previous_;
};

}  // namespace platform
