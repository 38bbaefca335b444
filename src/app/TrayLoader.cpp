// Runs on the main thread, before the tray starts.
#include "app/TrayLoader.hpp"

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace tavlo {

std::string qtPluginsFolder() {
#ifdef TAVLO_QT_PLUGINS
  return TAVLO_QT_PLUGINS;
#else
  return "/usr/lib/x86_64-linux-gnu/qt6/plugins";  // Debian's, for a build without the tray
#endif
}

Result<const TrayModule*> loadTrayModule() {
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return fail("cannot find the program's own folder: " + ec.message());
  const auto path = self.parent_path() / TAVLO_UI_MODULE;
  // RTLD_NOW: a module that does not fit this program fails here, not later in the tray.
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) return fail(std::string("cannot load the tray: ") + ::dlerror());
  using Entry = const TrayModule* (*)();
  auto entry = reinterpret_cast<Entry>(::dlsym(handle, "tavlo_ui_module"));
  if (!entry) return fail("cannot load the tray: " + path.string() + " has no tavlo_ui_module");
  return entry();
}

}  // namespace tavlo
