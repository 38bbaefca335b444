#include "app/Commands.hpp"

namespace tavlo {

// FIXME: not built yet.
int runCompanion(bool, bool) { return usageError("the companion itself is not available yet"); }

}  // namespace tavlo
