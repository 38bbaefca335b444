#pragma once
// The generate pipeline, the one road of POST /generate and the `generate`
// command: choose the model, let the request in, run the model, write the
// pack and build the reply. Runs on the caller's executor (the state thread,
// or the command's own loop); only the pack writing leaves it, for the worker
// pool, because it blocks on the disk.
#include <asio.hpp>

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "http/HTTPResponse.hpp"
#include "pack/TavloPackWriter.hpp"
#include "platform/Result.hpp"
#include "providers/LLMModel.hpp"

namespace tavlo {

// The model's answer, or the runner's error message.
using ModelAnswer = Result<std::string>;

// The pack the writer wrote, or why it could not (the message the user reads).
using PackOutcome = Result<TavloPackWriter::WrittenPack>;

// The selected model when it is listed, else the first listed; none for an empty list.
std::optional<LLMModel> chooseModel(const std::vector<LLMModel>& listed, const std::string& selectedID);

// The model an id names, also when no probe lists it: "ollama:NAME",
// "lmstudio:NAME", "claude:cli", "codex:cli", "gemini:NAME". None for anything else.
std::optional<LLMModel> modelFromID(const std::string& id);

// The GET /models body: {"models":[{"id","name","provider","selected","subtitle"}],"ok":true}.
nlohmann::json modelListBody(const std::vector<LLMModel>& models, const std::string& selectedID);

// The replies a request can end with besides the pack: 503 without any model,
// 503 when too many requests wait, 500 when the model or the writer failed.
HTTPResponse noModelReply();
HTTPResponse busyReply(std::size_t waiting);
HTTPResponse failedReply(const LLMModel& model, std::string_view message);

struct GenerateRequest {
  std::string prompt;
  std::optional<LLMModel> model;  // the given one (--model); none: chosen from `listed`
  std::vector<LLMModel> listed;
  std::string selectedID;
};

struct GenerateSteps {
  // Refuses a request before its model runs (busy, stopping), or lets it in
  // (none); may be null. A request let in has started.
  std::function<std::optional<HTTPResponse>(const std::string& prompt, const LLMModel& model)> admit;
  std::function<asio::awaitable<ModelAnswer>(std::string prompt, LLMModel model)> run;
  std::filesystem::path stagingDir;
  // Told of every pack written (the desktop notification); may be null.
  std::function<void(const std::string& name, const std::string& summary)> packWritten;
};

// 200 with the pack; 500 when the model or the writer failed; 503 without a
// model or when refused as busy.
asio::awaitable<HTTPResponse> generate(GenerateRequest request, GenerateSteps steps);

}  // namespace tavlo
