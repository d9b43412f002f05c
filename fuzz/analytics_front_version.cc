// The public front's version for the fuzzing build, which compiles the engine's sources but
// cannot build the front itself (it needs the foundation, whose promises clang 14 cannot
// compile with libstdc++ 12). The measurement core reads only this of the front.
#include "analytics/engine/DAVOdazarado.h"

std::string DAVOdazarado::topLevelVersion() { return "0.0.0"; }
