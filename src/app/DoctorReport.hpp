#pragma once
// What the `doctor` command's checks share: the report they print to, and the
// ways they look at the computer. Main thread (the command's only one).
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "app/PortOwner.hpp"

struct sd_bus;

namespace tavlo::doctor {

enum class Level { ok, warn, fail };

// Prints each check as soon as it is known, so slow checks show progress.
class Report {
 public:
  void add(Level level, const std::string& check, const std::string& found, const std::string& todo = "") {
    static constexpr const char* kWords[] = {"ok    ", "warn  ", "FAIL  "};
    std::string line = kWords[static_cast<int>(level)] + check + ": " + found;
    if (!todo.empty()) line += " — " + todo;
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    if (level == Level::fail) failed_ = true;
  }
  bool failed() const { return failed_; }

 private:
  bool failed_ = false;
};

// The time a tool doctor runs may take.
inline constexpr auto kToolTime = std::chrono::seconds(5);

// The first line of a tool's output, or "no output".
std::string firstLine(const std::string& text);

// The socket listening on TCP `port`, from the kernel's own tables.
std::optional<PortOwner> tcpListener(int port);

// -1: no bus; 0: nobody owns `name`; 1: owned.
using BusOpener = int (*)(sd_bus**);
int busNameOwned(BusOpener open, const char* name);

// This computer's own setup (DoctorLocalChecks.cpp). checkModels is true when
// some model source was found.
bool checkModels(Report& report);
void checkStaging(Report& report);
void checkTray(Report& report);

}  // namespace tavlo::doctor
