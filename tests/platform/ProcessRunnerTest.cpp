#include "platform/ProcessRunner.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>

#include "platform/Cancellation.hpp"
#include "platform/DesktopOpener.hpp"
#include "support/TestSupport.hpp"

namespace tavlo {
namespace {

using testing::readFile;
using testing::waitUntil;

class ProcessRunnerTest : public ::testing::Test {
 protected:
  std::string script(const std::string& name, const std::string& body, bool executable = true) {
    return testing::writeScript(dir_ / name, body, executable);
  }
  ProcessResult run(ProcessRequest request) {
    auto r = runProcess(request);
    EXPECT_TRUE(r) << r.message();
    return r ? *r : ProcessResult{};
  }
  // Gone, or a zombie nobody has reaped yet, going by /proc/<pid>/stat.
  static bool ended(const fs::path& pidFile) {
    return waitUntil([&] {
      const std::string stat = readFile("/proc/" + readFile(pidFile).substr(0, readFile(pidFile).find('\n')) + "/stat");
      return stat.empty() || stat[stat.rfind(')') + 2] == 'Z';
    }, 2s);
  }
  testing::TempDir dir_;
};

// Arguments pass byte for byte. (The environment, stdin and working folder: the runner's tool test.)
TEST_F(ProcessRunnerTest, ArgumentsExitStatusSignalStderrAndWhatCannotStart) {
  const std::string tricky = "-p \"quoted\" 'single'\nsecond line\tтекст 日本 \\ $HOME `id`", big(100 * 1024, 'x');
  auto args = run({.executable = script("args", "for a in \"$@\"; do printf '%s|' \"$a\"; done\n"), .args = {tricky, "", big}});
  EXPECT_EQ(std::pair(args.exitStatus, args.out), std::pair(0, tricky + "||" + big + "|"));
  auto r = run({.executable = script("fails", "echo out; echo 'bad thing' >&2; exit 3\n")});
  EXPECT_EQ(std::tuple(r.exitStatus, r.out, r.err), std::tuple(3, "out\n", "bad thing\n"));
  auto killed = run({.executable = script("selfkill", "kill -TERM $$\n")});
  EXPECT_EQ(std::pair(killed.exitStatus, killed.termSignal), std::pair(-1, SIGTERM));
  EXPECT_EQ(run({.executable = script("noisy", "echo hidden >&2\n"), .captureStderr = false}).err, "");
  // A child that closes its pipes early is still waited for.
  auto closer = run({.executable = script("closer", "echo early; exec >&- 2>&-; sleep 0.3; exit 4\n")});
  EXPECT_EQ(std::pair(closer.exitStatus, closer.out), std::pair(4, std::string("early\n")));

  const std::string plain = script("plain", "echo hi\n", false), missing = (dir_ / "missing").string();
  for (const auto& path : {plain, dir_.path().string(), missing}) EXPECT_FALSE(isExecutableFile(path)) << path;
  EXPECT_EQ(runProcess({.executable = plain}).message(), "cannot start " + plain + ": Permission denied");
  EXPECT_EQ(runProcess({.executable = missing}).message(), "cannot start " + missing + ": No such file or directory");
}

TEST_F(ProcessRunnerTest, DrainsLargeOutputOnBothStreamsAtOnce) {
  auto exe = script("flood", "head -c 20971520 /dev/zero & head -c 20971520 /dev/zero >&2; wait\n");
  auto r = run({.executable = exe, .timeLimit = 20s});
  EXPECT_EQ(r.out.size() + r.err.size(), 40u << 20);
  auto capped = run({.executable = exe, .timeLimit = 20s, .outputLimit = 1000});
  EXPECT_EQ(std::tuple(capped.exitStatus, capped.out.size(), capped.truncated), std::tuple(0, 1000u, true));
}

// A hung child is killed with its whole group at the time limit; a child that
// exits while a grandchild still holds the pipes returns after the exit grace.
TEST_F(ProcessRunnerTest, HungChildrenAndGrandchildrenHoldingThePipesEndInTime) {
  const fs::path pids = dir_ / "grandchild";
  for (bool hangs : {true, false}) {
    auto exe = script("run", "sleep 60 & echo $! > " + pids.string() + (hangs ? "; echo started; sleep 60" : "; echo answer"));
    const auto begin = std::chrono::steady_clock::now();
    auto r = run({.executable = exe, .timeLimit = hangs ? 300ms : 0ms, .exitGrace = 200ms});
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 20s);  // not the minute the sleeps would take
    EXPECT_EQ(std::tuple(r.timedOut, r.termSignal, r.out),
              std::tuple(hangs, hangs ? SIGKILL : 0, hangs ? "started\n" : "answer\n"));
    EXPECT_TRUE(ended(pids));
  }
}

// Whatever else the program holds open without close-on-exec (a listening socket), a started program gets
// only its three standard streams: an orphaned tool must never keep the companion's port. The desktop
// opener finds xdg-open on PATH and passes the location as it is; without one, the log says so.
TEST_F(ProcessRunnerTest, StartedProgramsGetOnlyTheirStandardStreams) {
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);  // any descriptor without close-on-exec
  const std::string record = (dir_ / "seen").string(), path = std::getenv("PATH");
  auto exe = script("xdg-open", "{ echo \"$1\"; /bin/ls -l /proc/$$/fd; } > " + record + ".tmp; /bin/mv " + record +
                                    ".tmp " + record + "\n");
  // The shell's first argument, once its descriptors were seen to point at /dev/null and not at the socket.
  auto seen = [&] {
    EXPECT_TRUE(waitUntil([&] { return fs::exists(record); }));
    const std::string listing = readFile(record);
    fs::remove(record);
    EXPECT_TRUE(listing.find("/dev/null") != std::string::npos && listing.find("socket:") == std::string::npos);
    return listing.substr(0, listing.find('\n'));
  };
  run({.executable = exe});
  seen();
  testing::LogCapture log;
  ::setenv("PATH", dir_.path().c_str(), 1);
  openWithDesktop("file:///tmp/a b/'c' $HOME");  // no shell: no splitting, no expansion
  EXPECT_EQ(seen(), "file:///tmp/a b/'c' $HOME");
  fs::remove(exe);
  openWithDesktop("https://x");
  ::setenv("PATH", path.c_str(), 1);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"Tavlo could not start xdg-open to open https://x"});
  ::close(listener);
}

// The panel's "Stop" and a stopping program kill the whole group at once: the tool and its child have let
// go of the pipes, so nothing else would end them. The scratch folder is gone once the call returns;
// nothing starts once cancelled, nor while the program stops.
TEST_F(ProcessRunnerTest, CancelAndStopEndTheGroupAndNothingStartsOnceStopped) {
  const fs::path pids = dir_ / "pids", cwd = dir_ / "cwd";
  auto exe = script("busy", "exec >/dev/null 2>&1; sleep 30 & echo $! > " + pids.string() + "; touch left-behind; pwd > " +
                                cwd.string() + "; sleep 30\n");
  for (bool panel : {true, false}) {
    auto cancel = panel ? std::make_shared<Cancellation>() : nullptr;
    auto running = std::async(std::launch::async, [&] {
      return run({.executable = exe, .timeLimit = 60s, .scratchDirectory = true, .cancel = cancel});
    });
    ASSERT_TRUE(waitUntil([&] { return readFile(cwd).ends_with("\n"); }));
    const std::string scratch = readFile(cwd).substr(0, readFile(cwd).size() - 1);
    fs::remove(cwd);
    EXPECT_FALSE(waitForProcesses(50ms));
    panel ? cancel->cancel() : stopAllProcesses();
    EXPECT_TRUE(waitForProcesses(5s) && !fs::exists(scratch)) << scratch;
    auto r = running.get();
    EXPECT_TRUE((panel ? r.cancelled : r.stopped) && r.termSignal == SIGKILL);
    EXPECT_TRUE(ended(pids));
    EXPECT_TRUE(!panel || run({.executable = exe, .cancel = cancel}).cancelled);
  }
  EXPECT_TRUE(run({.executable = exe}).stopped);
  allowProcesses();
  EXPECT_FALSE(fs::exists(cwd));  // neither started
}

}  // namespace
}  // namespace tavlo
