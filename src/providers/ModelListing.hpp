#pragma once
// The shared road of the two HTTP model listings: one GET with the probe's
// time limit, the answer parsed off the HTTP thread, every failure an empty list.
#include <functional>
#include <string>
#include <vector>

#include <asio/awaitable.hpp>

#include "providers/LLMModel.hpp"
#include "providers/ProviderConfig.hpp"

namespace tavlo {

struct FetchResponse;

using ModelsDone = std::function<void(std::vector<LLMModel>)>;
using ModelsParser = std::vector<LLMModel> (*)(const FetchResponse&);

void fetchModelList(const ProviderConfig& config, std::string url, ModelsParser parse, ModelsDone done);

// The awaitable form of a callback-style listing.
asio::awaitable<std::vector<LLMModel>> awaitModelList(std::function<void(ModelsDone)> start);

}  // namespace tavlo
