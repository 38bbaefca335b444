#pragma once
// Called from any thread; returns at once.
#include <string>

namespace tavlo {

// Hands a web address or a folder to the desktop (xdg-open), without a shell
// and without waiting: fire and forget, xdg-open is not the program's child.
void openWithDesktop(const std::string& location);

}  // namespace tavlo
