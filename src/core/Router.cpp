// Runs on the state thread, except handleOnNetwork (the network thread). A
// POST /generate crosses threads only where it must: network → state
// (routing, the queue), state → the runner's thread and back (the model),
// state → worker pool and back (writing the pack), state → network (the reply).
#include "core/Router.hpp"

#include "core/CompanionState.hpp"
#include "core/RequestPolicy.hpp"
#include "platform/Async.hpp"
#include "platform/HostName.hpp"

namespace tavlo {
namespace {

asio::awaitable<HTTPResponse> handleOnState(std::weak_ptr<CompanionState> weak, HTTPRequest request) {
  auto self = weak.lock();
  if (!self) co_return HTTPResponse::notFound();
  co_return co_await Router::route(std::move(self), std::move(request));
}

// On the network thread: a status request is answered without waking the state
// thread (no hop, no wake-up system calls per connection).
asio::awaitable<HTTPResponse> handleOnNetwork(std::weak_ptr<CompanionState> weak, asio::any_io_executor state,
                                              std::shared_ptr<RequestPolicy> policy,
                                              std::shared_ptr<const HealthBoard> health, HTTPRequest request) {
  std::optional<HTTPResponse> refused = policy->check(request);
  if (refused) co_return std::move(*refused);
  const bool status = request.method == "GET" && (request.path == "/" || request.path == "/health");
  std::shared_ptr<const HTTPResponse> published = status ? health->current() : nullptr;
  if (published) co_return *published;
  co_return co_await asio::co_spawn(state, handleOnState(std::move(weak), std::move(request)), asio::use_awaitable);
}

RequestPolicy::Settings policySettings(const CompanionServices& services) {
  RequestPolicy::Settings settings;
  settings.machineHostName = networkHostName();
  settings.searchDomains = services.searchDomains;
  settings.allowAnyClient = services.allowAnyClient;
  settings.onLinkPrefixes = services.onLinkPrefixes;
  return settings;
}

}  // namespace

RequestHandler Router::handler(CompanionState& state) {
  state.onStateThread("makeHandler");
  return [weak = state.weak_from_this(), ex = state.executor_,
          policy = std::make_shared<RequestPolicy>(policySettings(state.services_)),
          health = std::shared_ptr<const HealthBoard>(state.health_)](HTTPRequest request) {
    return handleOnNetwork(weak, ex, policy, health, std::move(request));
  };
}

asio::awaitable<HTTPResponse> Router::route(std::shared_ptr<CompanionState> state, HTTPRequest request) {
  state->onStateThread("route");
  const auto& method = request.method;
  const auto& path = request.path;
  if (method == "GET" && (path == "/" || path == "/health")) co_return state->healthReply();
  if (method == "GET" && path == "/models")
    co_return HTTPResponse::json(modelListBody(state->allModels(), state->selectedModelID_));
  if (method == "POST" && path == "/models/active") co_return co_await selectModel(state, std::move(request));
  if (method == "POST" && path == "/generate") {
    auto body = request.jsonBody();
    if (!body || !body->contains("prompt") || !(*body)["prompt"].is_string() ||
        (*body)["prompt"].get_ref<const std::string&>().empty())
      co_return HTTPResponse::badRequest("missing prompt");
    co_return co_await runGenerate(*state, (*body)["prompt"].get<std::string>());
  }
  co_return HTTPResponse::notFound();
}

// The phone's "ok" comes once the choice is on disk (or the store's wait has passed).
asio::awaitable<HTTPResponse> Router::selectModel(std::shared_ptr<CompanionState> state, HTTPRequest request) {
  auto body = request.jsonBody();
  if (!body || !body->contains("id") || !(*body)["id"].is_string()) co_return HTTPResponse::badRequest("missing id");
  const std::string id = (*body)["id"].get<std::string>();
  for (const auto& m : state->allModels()) {
    if (m.id == id) {
      state->selectModel(m);
      if (state->services_.defaults) co_await storeWritesLanded(state->services_.selectionSaveWait);
      co_return HTTPResponse::json({{"ok", true}, {"id", m.id}});
    }
  }
  co_return HTTPResponse::badRequest("unknown model id");
}

// Not a coroutine: see Generate.cpp's writeOnWorkerPool.
asio::awaitable<HTTPResponse> Router::runGenerate(CompanionState& state, std::string prompt) {
  return generate(GenerateRequest{std::move(prompt), std::nullopt, state.allModels(), state.selectedModelID_},
                  generateSteps(state));
}

// The steps hold the state until the request has its reply.
GenerateSteps Router::generateSteps(CompanionState& state) {
  GenerateSteps steps;
  steps.admit = [self = state.shared_from_this()](const std::string& prompt, const LLMModel& model) {
    return admit(*self, prompt, model);
  };
  steps.run = [self = state.shared_from_this()](std::string prompt, LLMModel model) {
    return self->runs_->run(std::move(prompt), std::move(model));
  };
  steps.stagingDir = state.stagingDir_;
  steps.packWritten = state.services_.packWritten;
  return steps;
}

// A request is refused while the companion stops, and as busy when every run
// slot and every waiting place is taken; one let in is listed as recent.
std::optional<HTTPResponse> Router::admit(CompanionState& state, const std::string& prompt, const LLMModel& model) {
  if (auto refused = state.runs_->refusal(model)) return refused;
  state.appendRequest(prompt, model.id);
  return std::nullopt;
}

}  // namespace tavlo
