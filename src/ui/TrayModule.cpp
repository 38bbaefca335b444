// The entry point of libtavlo-ui.so (see TrayModule.hpp); runs on the main thread.
#include "ui/TrayModule.hpp"

#include "ui/Notifier.hpp"
#include "ui/TavloCompanionApp.hpp"

namespace tavlo {
namespace {

int runTray(const TrayLaunch& launch) {
  if (launch.pairingJSON) setPairingSource(launch.pairingJSON);
  int argc = 1;
  char name[] = "tavlo-companion";
  char* argv[] = {name, nullptr};
  return runTrayApp(argc, argv, launch.state, launch.stopNow, launch.showPanel, launch.platforms);
}

constexpr TrayModule kModule{runTray, endTrayLoop, notifyPackWritten};

}  // namespace
}  // namespace tavlo

extern "C" __attribute__((visibility("default"))) const tavlo::TrayModule* tavlo_ui_module() {
  return &tavlo::kModule;
}
