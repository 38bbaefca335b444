#pragma once
// The refresh's timer and its probes. Runs on the state thread (its owner's
// executor): one loop on a timer starts a refresh every interval, and a
// round of probes runs every probe side by side; a refresh that asks while a
// round is out shares that round (one probe of each kind at a time).
#include <asio.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "presence/TailscaleStatus.hpp"
#include "providers/LLMModel.hpp"

namespace tavlo {

struct ProbeResults {
  TailscaleStatus tailscale;
  std::vector<LLMModel> ollama, lmstudio, cli;
};

class Refresher {
 public:
  template <class T>
  using Probe = std::function<asio::awaitable<T>()>;
  // Each may be null (an empty result); a probe that throws gives an empty result too, logged.
  struct Probes {
    Probe<TailscaleStatus> tailscale;
    Probe<std::vector<LLMModel>> ollama, lmstudio, cli;
  };

  Refresher(asio::any_io_executor executor, Probes probes);
  ~Refresher() { stop(); }

  // The results of the round in flight, or of a new one. Not a coroutine: see Generate.cpp's writeOnWorkerPool.
  asio::awaitable<ProbeResults> probeAll();
  // Starts `refresh` every `interval` (not waiting for the one before) until stop().
  void every(std::chrono::milliseconds interval, std::function<asio::awaitable<void>()> refresh);
  void stop();

 private:
  struct Round;
  asio::any_io_executor executor_;
  Probes probes_;
  std::shared_ptr<Round> round_;
  std::shared_ptr<asio::steady_timer> timer_;
};

}  // namespace tavlo
