#include "platform/ProcessRunner.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <set>
#include <sstream>
#include <thread>

namespace tavlo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class ProcessRunnerTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = ::mkdtemp(std::string("/tmp/tavlo-proc-XXXXXX").data()); }
  void TearDown() override { fs::remove_all(dir_); }
  std::string script(const std::string& name, const std::string& body, bool executable = true) {
    auto path = dir_ / name;
    std::ofstream(path) << "#!/bin/sh\n" << body;
    fs::permissions(path, executable ? fs::perms::owner_all : fs::perms::owner_read | fs::perms::owner_write);
    return path.string();
  }
  // Running and not a zombie, going by /proc/<pid>/stat.
  static bool alive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    auto close = line.rfind(')');
    return close != std::string::npos && line.size() > close + 2 && line[close + 2] != 'Z';
  }
  fs::path dir_;
};

TEST_F(ProcessRunnerTest, ArgumentsByteForByteNullStdinScrubbedEnvironmentAndWorkingDirectory) {
  ::setenv("TAVLO_TEST_SECRET", "leak", 1);
  fs::create_directory(dir_ / "work");
  auto exe = script("args", "for a in \"$@\"; do printf '%s|' \"$a\"; done\n"
                            "pwd; echo \"${TAVLO_TEST_SECRET-unset}\"; cat; echo done\n");
  std::string tricky = "-p \"quoted\" 'single'\nsecond line\tтекст 日本 \\ $HOME `id`", big(100 * 1024, 'x');
  auto r = runProcess({.executable = exe, .args = {tricky, "", big}, .workingDirectory = (dir_ / "work").string(),
                       .unsetEnvironment = {"TAVLO_TEST_SECRET"}});
  ::unsetenv("TAVLO_TEST_SECRET");
  ASSERT_TRUE(r.started) << r.error;
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.out, tricky + "||" + big + "|" + (dir_ / "work").string() + "\nunset\ndone\n");
}

TEST_F(ProcessRunnerTest, ReportsExitStatusSignalAndStderr) {
  auto r = runProcess({.executable = script("fails", "echo out; echo 'bad thing' >&2; exit 3\n")});
  EXPECT_EQ(r.exitStatus, 3);
  EXPECT_EQ(r.out, "out\n");
  EXPECT_EQ(r.err, "bad thing\n");
  auto killed = runProcess({.executable = script("selfkill", "kill -TERM $$\n")});
  EXPECT_EQ(killed.exitStatus, -1);
  EXPECT_EQ(killed.termSignal, SIGTERM);
  EXPECT_EQ(runProcess({.executable = script("noisy", "echo hidden >&2\n"), .captureStderr = false}).err, "");
  // A child that closes its pipes early is still waited for.
  auto closer = runProcess({.executable = script("closer", "echo early; exec >&- 2>&-; sleep 0.3; exit 4\n"),
                            .timeLimit = 5s});
  EXPECT_EQ(closer.out, "early\n");
  EXPECT_EQ(closer.exitStatus, 4);
}

TEST_F(ProcessRunnerTest, RefusesWhatCannotStart) {
  auto notExec = script("plain", "echo hi\n", false), missing = (dir_ / "missing").string();
  for (const auto& path : {notExec, dir_.string(), missing}) EXPECT_FALSE(isExecutableFile(path)) << path;
  EXPECT_TRUE(isExecutableFile(script("ok", "true\n")));
  auto r = runProcess({.executable = notExec});
  EXPECT_FALSE(r.started);
  EXPECT_NE(r.error.find("Permission denied"), std::string::npos) << r.error;
  r = runProcess({.executable = missing});
  EXPECT_FALSE(r.started);
  EXPECT_FALSE(r.error.empty());
}

TEST_F(ProcessRunnerTest, DrainsLargeOutputOnBothStreamsAtOnce) {
  auto exe = script("flood", "head -c 20971520 /dev/zero & head -c 20971520 /dev/zero >&2; wait\n");
  auto r = runProcess({.executable = exe, .timeLimit = 20s});
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.out.size(), 20u << 20);
  EXPECT_EQ(r.err.size(), 20u << 20);
  auto capped = runProcess({.executable = exe, .timeLimit = 20s, .outputLimit = 1000});
  EXPECT_EQ(capped.exitStatus, 0);
  EXPECT_EQ(capped.out.size(), 1000u);
  EXPECT_TRUE(capped.truncated);
}

// A hung child is killed with its whole group at the time limit; a child that
// exits while a grandchild still holds the pipes returns after the exit grace.
TEST_F(ProcessRunnerTest, HungChildrenAndGrandchildrenHoldingThePipesEndInTime) {
  std::string pids = (dir_ / "grandchild").string();
  for (bool hangs : {true, false}) {
    SCOPED_TRACE(hangs ? "child hangs" : "grandchild holds the pipes");
    auto exe = script("run", "sleep 30 & echo $! > " + pids + (hangs ? "; echo started; sleep 30" : "; echo answer"));
    auto t0 = std::chrono::steady_clock::now();
    auto r = runProcess({.executable = exe, .timeLimit = hangs ? 300ms : 0ms, .exitGrace = 200ms});
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
    EXPECT_EQ(r.timedOut, hangs);
    EXPECT_EQ(r.termSignal, hangs ? SIGKILL : 0);
    EXPECT_EQ(r.exitStatus, hangs ? -1 : 0);
    EXPECT_EQ(r.out, hangs ? "started\n" : "answer\n");
    pid_t grandchild = 0;
    std::ifstream(pids) >> grandchild;
    ASSERT_GT(grandchild, 0);
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(alive(grandchild));
  }
}

// Whatever else the program holds open without close-on-exec (the listening
// socket, a file), a started program gets only its three standard streams:
// an orphaned tool must never keep the companion's port.
TEST_F(ProcessRunnerTest, StartedProgramsGetOnlyTheirStandardStreams) {
  int held = ::open((dir_ / "held").c_str(), O_CREAT | O_RDWR, 0600);
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  ASSERT_GE(held, 3);
  const auto record = dir_ / "open-fds";
  auto exe = script("list-fds", "ls -l /proc/$$/fd > " + record.string() + ".tmp; mv " + record.string() + ".tmp " +
                                    record.string() + "\n");
  // What the shell's descriptors point at ("N -> target" lines); the shell's own copies
  // of its standard streams and of the script vary, so the check is on what they reach.
  auto targets = [&] {
    for (int i = 0; i < 500 && !fs::exists(record); ++i) std::this_thread::sleep_for(10ms);
    std::set<std::string> seen;
    std::ifstream in(record);
    for (std::string line; std::getline(in, line);)
      if (auto arrow = line.find(" -> "); arrow != std::string::npos) seen.insert(line.substr(arrow + 4));
    fs::remove(record);
    return seen;
  };
  auto leaked = [&](const std::set<std::string>& seen) {
    std::string found;
    for (const auto& t : seen)
      if (t.starts_with("socket:") || t == (dir_ / "held").string()) found += t + " ";
    return found;
  };
  ASSERT_TRUE(runProcess({.executable = exe}).started);
  auto seen = targets();
  EXPECT_TRUE(seen.contains("/dev/null")) << "the listing is read";
  EXPECT_EQ(leaked(seen), "");
  ASSERT_TRUE(startDetached(exe, {}));
  seen = targets();
  EXPECT_TRUE(seen.contains("/dev/null")) << "the listing is read";
  EXPECT_EQ(leaked(seen), "");
  EXPECT_FALSE(startDetached((dir_ / "missing").string(), {}));
  ::close(listener);
  ::close(held);
}

// What a stopping companion relies on: every running group killed at once, the
// scratch folder gone once the call returns, nothing new started until allowed.
TEST_F(ProcessRunnerTest, StopAllEndsEveryGroupAndRemovesScratchFolders) {
  const std::string pids = (dir_ / "pids").string(), cwd = (dir_ / "cwd").string();
  auto exe = script("busy", "sleep 30 & echo $! > " + pids + "; pwd > " + cwd + "; touch left-behind; sleep 30\n");
  std::promise<ProcessResult> got;
  runProcessAsync({.executable = exe, .timeLimit = 60s, .scratchDirectory = true},
                  [&](ProcessResult r) { got.set_value(std::move(r)); });
  for (int i = 0; i < 1000 && !(fs::exists(cwd) && fs::file_size(cwd) > 0); ++i)
    std::this_thread::sleep_for(10ms);
  std::string scratch;
  std::ifstream(cwd) >> scratch;
  ASSERT_NE(scratch.find("/tavlo-tool-"), std::string::npos) << scratch;
  auto t0 = std::chrono::steady_clock::now();
  stopAllProcesses();
  EXPECT_TRUE(waitForProcesses(5s));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);
  auto future = got.get_future();
  ASSERT_EQ(future.wait_for(5s), std::future_status::ready);
  auto r = future.get();
  EXPECT_TRUE(r.stopped);
  EXPECT_EQ(r.termSignal, SIGKILL);
  EXPECT_FALSE(fs::exists(scratch));
  pid_t grandchild = 0;
  std::ifstream(pids) >> grandchild;
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(alive(grandchild));

  auto refused = runProcess({.executable = script("hi", "echo hi\n")});
  EXPECT_FALSE(refused.started);
  EXPECT_TRUE(refused.stopped);
  allowProcesses();
  EXPECT_EQ(runProcess({.executable = script("hi", "echo hi\n")}).out, "hi\n");
}

TEST_F(ProcessRunnerTest, AsyncFormDeliversOnceOffTheCallerThread) {
  std::promise<std::pair<ProcessResult, std::thread::id>> got;
  runProcessAsync({.executable = script("hi", "echo hi\n")},
                  [&](ProcessResult r) { got.set_value({std::move(r), std::this_thread::get_id()}); });
  auto future = got.get_future();
  ASSERT_EQ(future.wait_for(5s), std::future_status::ready);
  auto [r, ranOn] = future.get();
  EXPECT_EQ(r.out, "hi\n");
  EXPECT_NE(ranOn, std::this_thread::get_id());
}

}  // namespace
}  // namespace tavlo
