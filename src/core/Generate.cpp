#include "core/Generate.hpp"

#include "pack/PackReply.hpp"
#include "platform/Async.hpp"
#include "providers/CLIProbe.hpp"

namespace tavlo {
namespace {

constexpr const char* kNoModelReply = "⚠️ No model selected on the Mac companion. Open the menu bar and pick one.";

// Not a coroutine on purpose: g++ 12 mishandles lambdas with captures that
// are built inside a coroutine body.
asio::awaitable<PackOutcome> writeOnWorkerPool(std::string answer, std::string prompt, std::string modelID,
                                               std::filesystem::path staging) {
  return runBlocking([answer = std::move(answer), prompt = std::move(prompt), modelID = std::move(modelID),
                      staging = std::move(staging)] {
    return TavloPackWriter::writePack(answer, prompt, modelID, staging);
  });
}

}  // namespace

std::optional<LLMModel> chooseModel(const std::vector<LLMModel>& listed, const std::string& selectedID) {
  for (const auto& m : listed)
    if (!selectedID.empty() && m.id == selectedID) return m;
  if (listed.empty()) return std::nullopt;
  return listed.front();
}

std::optional<LLMModel> modelFromID(const std::string& id) {
  if (id == "claude:cli") return CLIProbe::claudeModel();
  if (id == "codex:cli") return CLIProbe::codexModel();
  auto colon = id.find(':');
  if (colon == std::string::npos || colon + 1 == id.size()) return std::nullopt;
  std::string prefix = id.substr(0, colon), name = id.substr(colon + 1);
  using P = LLMModel::Provider;
  if (prefix == "ollama") return LLMModel{id, P::ollama, name, std::nullopt};
  if (prefix == "lmstudio") return LLMModel{id, P::lmstudio, name, std::nullopt};
  if (prefix == "gemini") return LLMModel{id, P::gemini, name, std::nullopt};
  return std::nullopt;
}

nlohmann::json modelListBody(const std::vector<LLMModel>& models, const std::string& selectedID) {
  auto list = nlohmann::json::array();
  for (const auto& m : models)
    list.push_back({{"id", m.id},
                    {"provider", std::string(LLMModel::rawValue(m.provider))},
                    {"name", m.name},
                    {"subtitle", m.shownSubtitle().value_or("")},
                    {"selected", m.id == selectedID}});
  return {{"ok", true}, {"models", std::move(list)}};
}

HTTPResponse noModelReply() { return HTTPResponse::json({{"ok", false}, {"reply", kNoModelReply}}, 503); }

HTTPResponse busyReply(std::size_t waiting) {
  return HTTPResponse::json({{"ok", false},
                             {"reply", "⚠️ The companion is busy: " + std::to_string(waiting) +
                                           " requests are waiting. Try again shortly."}},
                            503);
}

HTTPResponse failedReply(const LLMModel& model, std::string_view message) {
  return HTTPResponse::json(failureReply(model.providerLabel(), message), 500);
}

asio::awaitable<HTTPResponse> generate(GenerateRequest request, GenerateSteps steps) {
  const std::optional<LLMModel> model = request.model ? request.model : chooseModel(request.listed, request.selectedID);
  if (!model) co_return noModelReply();
  if (steps.admit) {
    if (auto refused = steps.admit(request.prompt, *model)) co_return std::move(*refused);
  }
  // Each awaitable is made before it is awaited: g++ 12 mishandles
  // temporaries that live across a co_await.
  auto running = steps.run(request.prompt, *model);
  ModelAnswer answer = co_await std::move(running);
  if (!answer) co_return failedReply(*model, answer.error().message);
  auto writing = writeOnWorkerPool(std::move(answer).value(), request.prompt, model->id, steps.stagingDir);
  PackOutcome written = co_await std::move(writing);
  if (!written) co_return failedReply(*model, written.error().message);
  if (steps.packWritten) steps.packWritten(written->name, written->summary);
  co_return HTTPResponse::json(packSuccessReply(std::move(written).value(), model->id));
}

}  // namespace tavlo
