#pragma once
// Sends one request, with the fixed pack instruction text, to a model's back
// end and hands back the answer text unchanged. Holds no state.
#include <asio/awaitable.hpp>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "providers/LLMError.hpp"
#include "providers/LLMModel.hpp"
#include "providers/ProviderConfig.hpp"

namespace tavlo {
class Cancellation;
struct FetchResponse;
struct ProcessResult;
}  // namespace tavlo

namespace tavlo::LLMRunner {

using Done = std::function<void(LLMResult)>;

// The instruction text that asks the model for a pack document.
const std::string& systemPrompt();

// systemPrompt, "\n\nUSER: ", the request, "\n\nJSON:": the one text the command-line tools get.
std::string combinedPrompt(std::string_view prompt);

// `done` is called exactly once, on a worker or HTTP thread, never on the caller's.
// Cancelling `cancel` kills the tool's process group or ends the HTTP call; the
// run then fails with kCancelledMessage.
void generate(std::string prompt, LLMModel model, const ProviderConfig& config, Done done,
              std::shared_ptr<Cancellation> cancel = {});
// Pass named values: GCC 12 mishandles some temporaries built inside a co_await expression.
asio::awaitable<LLMResult> generate(std::string prompt, LLMModel model);
asio::awaitable<LLMResult> generate(std::string prompt, LLMModel model, ProviderConfig config);

void ollama(const std::string& prompt, const std::string& modelName, const ProviderConfig& config, Done done,
            std::shared_ptr<Cancellation> cancel = {});
void lmstudio(const std::string& prompt, const std::string& modelName, const ProviderConfig& config, Done done,
              std::shared_ptr<Cancellation> cancel = {});
void claudeCLI(const std::string& prompt, const ProviderConfig& config, Done done,
               std::shared_ptr<Cancellation> cancel = {});
void codexCLI(const std::string& prompt, const ProviderConfig& config, Done done,
              std::shared_ptr<Cancellation> cancel = {});

// Runs the first executable of `paths` with `arguments`; its standard output is the answer.
void runShellTool(const std::vector<std::string>& paths, std::vector<std::string> arguments,
                  const ProviderConfig& config, Done done, std::shared_ptr<Cancellation> cancel = {});

// Where each tool is started from: its own places first, then the other
// folders the command-line probe searches, so that a listed tool can run.
std::vector<std::string> claudePaths(const ProviderConfig& config);
std::vector<std::string> codexPaths(const ProviderConfig& config);

// Reading the back ends' answers.
LLMResult ollamaAnswer(const FetchResponse& response);
LLMResult lmstudioAnswer(const FetchResponse& response);
LLMResult toolAnswer(const ProcessResult& result, const ProviderConfig& config);

}  // namespace tavlo::LLMRunner
