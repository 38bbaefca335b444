#pragma once
// The tray shell; runs on the program's main thread, which becomes the Qt GUI thread.
#include <functional>
#include <memory>
#include <string>

namespace tavlo {

class CompanionState;

// Creates the QApplication if there is none, on `platforms` (a QT_QPA_PLATFORM
// list ending in "offscreen"). Returns kNoDisplay when no display could be
// opened and kNoTray when there is no tray to show (the caller then runs
// headless and says so in one log line); otherwise runs the Qt event loop
// until "Quit Tavlo" and returns the exit status.
// `state` is already started on its own thread. With `showPanel` the panel is
// also shown as an ordinary window, even without a tray.
// Should the display go away while the tray runs, the toolkit ends the
// process: `stopNow` runs first (on the thread that noticed), so tools are
// killed and waiting phones answered. A desktop session that ended leaves no
// companion behind to keep the port from the next session's.
int runTrayApp(int& argc, char** argv, std::shared_ptr<CompanionState> state, std::function<void()> stopNow,
               bool showPanel, const std::string& platforms = {});

// The companion has stopped: runTrayApp's event loop ends (or does not start).
// Any thread.
void endTrayLoop();

// Where the "Pair phone" section gets the pairing record (compact JSON, the
// same text as `tavlo-companion pairing`). Called on the UI thread while the
// section is open, so it must be quick. Without a source the section is hidden.
void setPairingSource(std::function<std::string()> source);

}  // namespace tavlo
