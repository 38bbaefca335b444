#pragma once
// Lists the models of the Ollama server (GET /api/tags). Never fails:
// no server, a slow one or an unexpected answer all give an empty list.
// Called from any coroutine; the answer is parsed on the worker pool.
#include <asio/awaitable.hpp>

#include <cstdint>
#include <string>
#include <vector>

#include "providers/LLMModel.hpp"
#include "providers/ProviderConfig.hpp"

namespace tavlo {
struct FetchResponse;
}

namespace tavlo::OllamaProbe {

// The listed models; resumes the awaiting coroutine on its own executor.
asio::awaitable<std::vector<LLMModel>> list(ProviderConfig config);

// The models of one /api/tags answer, in listing order.
std::vector<LLMModel> modelsFromResponse(const FetchResponse& response);

// A byte count as a file size with decimal units: "Zero KB", "512 bytes", "12 KB", "1.2 MB", "4.66 GB".
std::string formatFileSize(std::int64_t bytes);

}  // namespace tavlo::OllamaProbe
