#pragma once
// The state's HTTP side: the routes and the server's handler. Runs on the
// state thread, except the handler's first step (the network thread), which
// applies the request policy and answers status requests from the HealthBoard.
#include <asio.hpp>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/Generate.hpp"
#include "http/HTTPRequest.hpp"
#include "http/HTTPResponse.hpp"

namespace tavlo {

class CompanionState;

using RequestHandler = std::function<asio::awaitable<HTTPResponse>(HTTPRequest)>;

// The /health reply as the state last published it, readable from any thread.
struct HealthBoard {
  std::shared_ptr<const HTTPResponse> current() const {
    std::lock_guard lock(mutex);
    return reply;
  }
  mutable std::mutex mutex;
  std::shared_ptr<const HTTPResponse> reply;
};

class Router {
 public:
  // GET / and /health, GET /models, POST /models/active, POST /generate; 404 for anything else.
  static asio::awaitable<HTTPResponse> route(std::shared_ptr<CompanionState> state, HTTPRequest request);
  // On the network thread it applies the request policy (its own copy, so no
  // state is shared) and answers GET / and /health from the last published
  // reply; everything else hops to the state thread and is routed there.
  // Holds the state weakly.
  static RequestHandler handler(CompanionState& state);

 private:
  static asio::awaitable<HTTPResponse> selectModel(std::shared_ptr<CompanionState> state, HTTPRequest request);
  static asio::awaitable<HTTPResponse> runGenerate(CompanionState& state, std::string prompt);
  static GenerateSteps generateSteps(CompanionState& state);
  static std::optional<HTTPResponse> admit(CompanionState& state, const std::string& prompt, const LLMModel& model);
};

}  // namespace tavlo
