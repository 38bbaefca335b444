#pragma once
// Asks the `tailscale` tool ("status --json") whether Tailscale is up and, if
// so, for this machine's Tailscale IPv4 address and DNS name. readBlocking
// runs on the calling thread; read runs it on the worker pool.
#include <asio/awaitable.hpp>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "presence/TailscaleStatus.hpp"

namespace tavlo::TailscaleProbe {

// Where the tool is looked for, in order; the first executable one is run.
const std::vector<std::string>& cliCandidates();

struct Options {
  std::vector<std::string> candidates = cliCandidates();
  std::chrono::milliseconds timeLimit{5000};  // then the tool is killed and the result is `stopped`
};

// The status read from the tool's standard output.
TailscaleStatus parseStatus(std::string_view out);

// Runs the tool on the calling thread and waits for it (at most the time limit).
TailscaleStatus readBlocking(const Options& options = {});

// readBlocking on the worker pool; resumes the awaiting coroutine on its own executor.
asio::awaitable<TailscaleStatus> read(Options options = {});

}  // namespace tavlo::TailscaleProbe
