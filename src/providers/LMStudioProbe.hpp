#pragma once
// Lists the models of the local LM Studio server (GET /v1/models). Never
// fails: every problem gives an empty list.
#include <asio/awaitable.hpp>

#include <functional>
#include <vector>

#include "providers/LLMModel.hpp"
#include "providers/ProviderConfig.hpp"

namespace tavlo {
struct FetchResponse;
}

namespace tavlo::LMStudioProbe {

// `done` is called once, on a worker thread.
void list(const ProviderConfig& config, std::function<void(std::vector<LLMModel>)> done);
asio::awaitable<std::vector<LLMModel>> list();
asio::awaitable<std::vector<LLMModel>> list(ProviderConfig config);

std::vector<LLMModel> modelsFromResponse(const FetchResponse& response);

}  // namespace tavlo::LMStudioProbe
