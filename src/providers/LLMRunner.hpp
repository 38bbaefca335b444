#pragma once
// Sends one request, with the fixed pack instruction text, to a model's back
// end and hands back the answer text unchanged. Holds no state. Called from
// any coroutine; it resumes on its own executor, while the answer is read on
// the worker pool and a command-line tool runs on a thread of its own.
#include <asio/awaitable.hpp>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Result.hpp"
#include "providers/LLMModel.hpp"
#include "providers/ProviderConfig.hpp"
#include "providers/StopMessages.hpp"

namespace tavlo {
class Cancellation;
struct FetchResponse;
struct ProcessResult;
}  // namespace tavlo

namespace tavlo::LLMRunner {

// The instruction text that asks the model for a pack document.
const std::string& systemPrompt();

// systemPrompt, "\n\nUSER: ", the request, "\n\nJSON:": the one text the command-line tools get.
std::string combinedPrompt(std::string_view prompt);

// The answer text, or why there is none: the back end's own failure ("ollama
// 404: ...", "CLI exit 2: ..."), or a transport or launch failure as the
// platform words it. Cancelling `cancel` kills the tool's process group or ends
// the HTTP call; the run then fails with kCancelledMessage.
// Pass named values: GCC 12 mishandles some temporaries built inside a co_await expression.
asio::awaitable<Result<std::string>> generate(std::string prompt, LLMModel model, ProviderConfig config,
                                              std::shared_ptr<Cancellation> cancel = {});

// Where each tool is started from: its own places first, then the other
// folders the command-line probe searches, so that a listed tool can run.
std::vector<std::string> claudePaths(const ProviderConfig& config);
std::vector<std::string> codexPaths(const ProviderConfig& config);

// Reading the back ends' answers.
Result<std::string> ollamaAnswer(const Result<FetchResponse>& response);
Result<std::string> lmstudioAnswer(const Result<FetchResponse>& response);
Result<std::string> toolAnswer(const Result<ProcessResult>& result, const ProviderConfig& config);

// A tool's line on standard error as the panel and the live line show it while
// it works: valid UTF-8, no control characters, trimmed, at most 120 characters.
std::string toolWords(std::string_view line);

}  // namespace tavlo::LLMRunner
