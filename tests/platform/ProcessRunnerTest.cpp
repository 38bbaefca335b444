#include "platform/ProcessRunner.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

namespace tavlo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class ProcessRunnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tavlo-proc-XXXXXX";
    dir_ = ::mkdtemp(tmpl);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string script(const std::string& name, const std::string& body, bool executable = true) {
    auto path = dir_ / name;
    std::ofstream(path) << "#!/bin/sh\n" << body;
    fs::permissions(path, executable ? fs::perms::owner_all : fs::perms::owner_read | fs::perms::owner_write);
    return path.string();
  }

  static bool alive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return false;
    auto close = line.rfind(')');
    return close != std::string::npos && line.size() > close + 2 && line[close + 2] != 'Z';
  }

  pid_t readPid(const std::string& name) {
    std::ifstream in(dir_ / name);
    pid_t pid = 0;
    in >> pid;
    return pid;
  }

  fs::path dir_;
};

TEST_F(ProcessRunnerTest, PassesEachArgumentByteForByte) {
  auto exe = script("echoargs", "for a in \"$@\"; do printf '%s|' \"$a\"; done\n");
  std::string tricky = "-p \"quoted\" 'single'\nsecond line\tтекст 日本 \\ $HOME `id`";
  std::string big(100 * 1024, 'x');
  auto r = runProcess({.executable = exe, .args = {tricky, "", big}});
  ASSERT_TRUE(r.started) << r.error;
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.out, tricky + "||" + big + "|");
}

TEST_F(ProcessRunnerTest, ReportsExitStatusSignalAndStderr) {
  auto r = runProcess({.executable = script("fails", "echo out; echo 'bad thing' >&2; exit 3\n")});
  EXPECT_EQ(r.exitStatus, 3);
  EXPECT_EQ(r.out, "out\n");
  EXPECT_EQ(r.err, "bad thing\n");

  auto killed = runProcess({.executable = script("selfkill", "kill -TERM $$\n")});
  EXPECT_EQ(killed.exitStatus, -1);
  EXPECT_EQ(killed.termSignal, SIGTERM);

  auto quiet = runProcess({.executable = script("noisy", "echo hidden >&2\n"), .captureStderr = false});
  EXPECT_EQ(quiet.err, "");
}

TEST_F(ProcessRunnerTest, RefusesWhatCannotStart) {
  auto notExec = script("plain", "echo hi\n", false);
  EXPECT_FALSE(isExecutableFile(notExec));
  EXPECT_FALSE(isExecutableFile(dir_.string()));
  EXPECT_FALSE(isExecutableFile((dir_ / "missing").string()));
  EXPECT_TRUE(isExecutableFile(script("ok", "true\n")));

  auto r = runProcess({.executable = notExec});
  EXPECT_FALSE(r.started);
  EXPECT_NE(r.error.find("Permission denied"), std::string::npos) << r.error;
  auto missing = runProcess({.executable = (dir_ / "missing").string()});
  EXPECT_FALSE(missing.started);
  EXPECT_FALSE(missing.error.empty());
}

TEST_F(ProcessRunnerTest, ChildGetsNullStdinScrubbedEnvironmentAndWorkingDirectory) {
  ::setenv("TAVLO_TEST_SECRET", "leak", 1);
  fs::create_directory(dir_ / "work");
  auto exe = script("env", "pwd; echo \"${TAVLO_TEST_SECRET-unset}\"; cat; echo done\n");
  auto r = runProcess({.executable = exe,
                       .workingDirectory = (dir_ / "work").string(),
                       .unsetEnvironment = {"TAVLO_TEST_SECRET"}});
  ::unsetenv("TAVLO_TEST_SECRET");
  EXPECT_EQ(r.out, (dir_ / "work").string() + "\nunset\ndone\n");
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

TEST_F(ProcessRunnerTest, TimeLimitKillsTheWholeGroup) {
  auto exe = script("hang", "sleep 30 & echo $! > " + (dir_ / "grandchild").string() + "; echo started; sleep 30\n");
  auto t0 = std::chrono::steady_clock::now();
  auto r = runProcess({.executable = exe, .timeLimit = 300ms});
  auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_TRUE(r.timedOut);
  EXPECT_EQ(r.termSignal, SIGKILL);
  EXPECT_EQ(r.out, "started\n");
  EXPECT_LT(took, 2s);
  pid_t grandchild = readPid("grandchild");
  ASSERT_GT(grandchild, 0);
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(alive(grandchild));
}

TEST_F(ProcessRunnerTest, GrandchildHoldingThePipesDoesNotHangTheCaller) {
  auto exe = script("detach", "sleep 30 & echo $! > " + (dir_ / "grandchild").string() + "; echo answer\n");
  auto t0 = std::chrono::steady_clock::now();
  auto r = runProcess({.executable = exe, .exitGrace = 200ms});
  auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.out, "answer\n");
  EXPECT_LT(took, 2s);
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(alive(readPid("grandchild")));
}

TEST_F(ProcessRunnerTest, ChildThatClosesItsPipesEarlyIsStillWaitedFor) {
  auto exe = script("closer", "echo early; exec >&- 2>&-; sleep 0.3; exit 4\n");
  auto r = runProcess({.executable = exe, .timeLimit = 5s});
  EXPECT_EQ(r.out, "early\n");
  EXPECT_EQ(r.exitStatus, 4);
}

TEST_F(ProcessRunnerTest, AsyncFormDeliversOnceOffTheCallerThread) {
  std::promise<ProcessResult> got;
  auto caller = std::this_thread::get_id();
  std::thread::id ranOn;
  runProcessAsync({.executable = script("hi", "echo hi\n")}, [&](ProcessResult r) {
    ranOn = std::this_thread::get_id();
    got.set_value(std::move(r));
  });
  auto future = got.get_future();
  ASSERT_EQ(future.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(future.get().out, "hi\n");
  EXPECT_NE(ranOn, caller);
}

}  // namespace
}  // namespace tavlo
