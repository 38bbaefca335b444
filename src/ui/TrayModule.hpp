#pragma once
// The boundary between the program and its tray. The tray, the panel and the
// notifications live in a module of their own, libtavlo-ui.so, which the
// program opens with dlopen only when it wants a tray, so --headless and the
// one-shot commands never map Qt (nor the glib, GL and D-Bus libraries Qt
// brings). A module rather than a separate tray executable: the panel reads
// snapshots of the running CompanionState and posts actions to its thread,
// which stays one in-process state instead of a protocol between processes.
// The program exports its symbols (-rdynamic) and the module links none of
// the core libraries, so the module's calls into the core reach the
// program's one copy of it (its state, logging, process table, executor).
// This header is free of Qt: both sides include it.
#include <functional>
#include <memory>
#include <string>

namespace tavlo {

class CompanionState;

struct TrayLaunch {
  std::shared_ptr<CompanionState> state;  // already started on its own thread
  // The companion's stop (tools killed, waiting phones answered, listener
  // closed), returning once it is done or its time limit has passed: for a
  // display that went away, when the toolkit is about to end the process.
  std::function<void()> stopNow;
  bool showPanel = false;
  std::string platforms;                     // QT_QPA_PLATFORM for the toolkit (see planDisplay)
  std::function<std::string()> pairingJSON;  // none: the "Pair phone" section is hidden
};

// What run returns when it shows nothing: no tray host (and no panel asked
// for), or no display the toolkit could open.
inline constexpr int kNoTray = -1;
inline constexpr int kNoDisplay = -2;

// What the module offers; see runTrayApp, endTrayLoop and notifyPackWritten.
struct TrayModule {
  int (*run)(const TrayLaunch& launch);  // kNoTray, kNoDisplay, or the event loop's exit status
  void (*endLoop)();                     // the companion stopped: run returns (any thread)
  void (*notifyPackWritten)(const std::string& name, const std::string& summary);
};

}  // namespace tavlo

// The module's one exported entry point.
extern "C" const tavlo::TrayModule* tavlo_ui_module();
