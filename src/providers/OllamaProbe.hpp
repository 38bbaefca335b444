#pragma once
// Lists the models of the local Ollama server (GET /api/tags). Never fails:
// no server, a slow one or an unexpected answer all give an empty list.
#include <asio/awaitable.hpp>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "providers/LLMModel.hpp"
#include "providers/ProviderConfig.hpp"

namespace tavlo {
struct FetchResponse;
}

namespace tavlo::OllamaProbe {

// `done` is called once, on a worker thread.
void list(const ProviderConfig& config, std::function<void(std::vector<LLMModel>)> done);
asio::awaitable<std::vector<LLMModel>> list();
asio::awaitable<std::vector<LLMModel>> list(ProviderConfig config);

// The models of one /api/tags answer, in listing order.
std::vector<LLMModel> modelsFromResponse(const FetchResponse& response);

// A byte count as a file size with decimal units: "Zero KB", "512 bytes", "12 KB", "1.2 MB", "4.66 GB".
std::string formatFileSize(std::int64_t bytes);

}  // namespace tavlo::OllamaProbe
