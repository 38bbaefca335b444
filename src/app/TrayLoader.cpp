#include "app/TrayLoader.hpp"

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace tavlo {

bool mayHaveDisplay() {
  for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
    if (const char* value = std::getenv(name); value && *value) return true;
  return false;
}

const TrayModule* loadTrayModule(std::string& why) {
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) {
    why = "cannot find the program's own folder: " + ec.message();
    return nullptr;
  }
  const auto path = self.parent_path() / TAVLO_UI_MODULE;
  // RTLD_NOW: a module that does not fit this program fails here, not later in the tray.
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    why = std::string("cannot load the tray: ") + ::dlerror();
    return nullptr;
  }
  using Entry = const TrayModule* (*)();
  auto entry = reinterpret_cast<Entry>(::dlsym(handle, "tavlo_ui_module"));
  if (!entry) {
    why = "cannot load the tray: " + path.string() + " has no tavlo_ui_module";
    return nullptr;
  }
  return entry();
}

}  // namespace tavlo
