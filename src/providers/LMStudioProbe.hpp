#pragma once
// Lists the models of the LM Studio server (GET /v1/models). Never
// fails: every problem gives an empty list. Called from any coroutine; the
// answer is parsed on the worker pool.
#include <asio/awaitable.hpp>

#include <vector>

#include "providers/LLMModel.hpp"
#include "providers/ProviderConfig.hpp"

namespace tavlo {
struct FetchResponse;
}

namespace tavlo::LMStudioProbe {

// The listed models; resumes the awaiting coroutine on its own executor.
asio::awaitable<std::vector<LLMModel>> list(ProviderConfig config);

std::vector<LLMModel> modelsFromResponse(const FetchResponse& response);

}  // namespace tavlo::LMStudioProbe
