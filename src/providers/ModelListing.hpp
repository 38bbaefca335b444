#pragma once
// The shared road of the two HTTP model listings: one GET with the probe's
// time limit, the answer parsed on the worker pool, every failure an empty
// list; every model is marked with `host` (empty: this computer). Called
// from any coroutine; it resumes on its own executor.
#include <string>
#include <vector>

#include <asio/awaitable.hpp>

#include "providers/LLMModel.hpp"
#include "providers/ProviderConfig.hpp"

namespace tavlo {

struct FetchResponse;

using ModelsParser = std::vector<LLMModel> (*)(const FetchResponse&);

asio::awaitable<std::vector<LLMModel>> fetchModelList(ProviderConfig config, std::string url, ModelsParser parse,
                                                      std::string host);

}  // namespace tavlo
