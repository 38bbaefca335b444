// `generate`: what POST /generate does, once: choose the model, run it, write
// the pack and print the reply body.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <future>
#include <optional>
#include <system_error>

#include "app/Commands.hpp"
#include "app/ModelChoice.hpp"
#include "core/CompanionState.hpp"
#include "pack/JSONText.hpp"
#include "pack/PackReply.hpp"
#include "pack/TavloPackWriter.hpp"
#include "providers/LLMRunner.hpp"

namespace tavlo {
namespace {

constexpr const char* kNoModelText = "⚠️ No model selected on the Mac companion. Open the menu bar and pick one.";

int print(const nlohmann::json& reply, int status) {
  const std::string body = writeCompactJSON(reply) + "\n";
  std::fwrite(body.data(), 1, body.size(), stdout);
  std::fflush(stdout);
  return status;
}

}  // namespace

int runGenerateCommand(const std::vector<std::string>& args) {
  std::optional<std::string> modelID, staging, prompt;
  bool optionsDone = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    if (!optionsDone && arg == "--") {
      optionsDone = true;
      continue;
    }
    if (!optionsDone && arg.starts_with("--")) {
      std::optional<std::string> value;
      if (auto eq = arg.find('='); eq != std::string::npos) {
        value = arg.substr(eq + 1);
        arg.resize(eq);
      }
      std::optional<std::string>* slot = arg == "--model" ? &modelID : arg == "--staging" ? &staging : nullptr;
      if (!slot) return usageError("generate: unknown option: " + args[i]);
      if (!value) {
        if (i + 1 >= args.size()) return usageError("generate: " + arg + " needs a value");
        value = args[++i];
      }
      *slot = std::move(value);
      continue;
    }
    if (prompt) return usageError("generate: give the prompt as one argument (quote it)");
    prompt = arg;
  }
  if (!prompt || prompt->empty()) return usageError("generate: PROMPT is required");

  std::string stagingProblem;
  const auto stagingDir = stagingFor(staging, stagingProblem);
  if (!stagingDir) return usageError("generate: " + stagingProblem);

  ProviderConfig config;
  std::optional<LLMModel> model;
  if (modelID) {
    model = modelFromID(*modelID);
    if (!model)
      return usageError("generate: model id '" + *modelID +
                        "' must be ollama:NAME, lmstudio:NAME, claude:cli, codex:cli or gemini:NAME");
  } else {
    model = chooseModel(probeAllModelsOnce(config), persistedSelection());
  }
  if (!model) return print({{"ok", false}, {"reply", kNoModelText}}, kExitNoModel);

  std::promise<LLMResult> done;
  LLMRunner::generate(*prompt, *model, config, [&done](LLMResult r) { done.set_value(std::move(r)); });
  const LLMResult result = done.get_future().get();
  const auto label = model->providerLabel();
  if (!result.ok()) return print(failureReply(label, result.errorDescription()), kExitFailed);

  std::error_code ec;
  std::filesystem::create_directories(*stagingDir, ec);
  if (ec) return print(failureReply(label, ec.message()), kExitFailed);
  try {
    const auto written = TavloPackWriter::writePack(*result.answer, *prompt, model->id, *stagingDir);
    return print(packSuccessReply(written, model->id), kExitOk);
  } catch (const std::exception& e) {
    return print(failureReply(label, e.what()), kExitFailed);
  }
}

}  // namespace tavlo
