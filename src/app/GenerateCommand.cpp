#include "app/Commands.hpp"

namespace tavlo {

// FIXME: not built yet.
int runGenerateCommand(const std::vector<std::string>&) { return usageError("this command is not available yet"); }

}  // namespace tavlo
