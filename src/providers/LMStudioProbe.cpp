#include "providers/LMStudioProbe.hpp"

#include <exception>

#include <nlohmann/json.hpp>

#include "platform/Async.hpp"
#include "platform/HttpClient.hpp"
#include "providers/ProviderJSON.hpp"

namespace tavlo::LMStudioProbe {

std::vector<LLMModel> modelsFromResponse(const HttpResponse& response) {
  if (!response.ok() || response.status != 200) return {};
  auto json = parseProviderJSON(response.body);
  if (json.is_discarded() || !json.is_object()) return {};
  auto data = json.find("data");
  if (data == json.end() || !data->is_array()) return {};
  for (const auto& entry : *data)
    if (!entry.is_object()) return {};
  std::vector<LLMModel> out;
  for (const auto& entry : *data) {
    auto id = entry.find("id");
    if (id == entry.end() || !id->is_string()) continue;
    const auto& name = id->get_ref<const std::string&>();
    out.push_back(LLMModel{"lmstudio:" + name, LLMModel::Provider::lmstudio, name, std::nullopt});
  }
  return out;
}

void list(const ProviderConfig& config, std::function<void(std::vector<LLMModel>)> done) {
  HttpRequest request;
  request.url = config.lmStudioURL + "/v1/models";
  request.totalTimeout = config.probeTimeout;
  config.client().send(std::move(request), [done = std::move(done)](HttpResponse response) mutable {
    asio::post(workerPool(), [done = std::move(done), response = std::move(response)]() mutable {
      std::vector<LLMModel> models;
      try {
        models = modelsFromResponse(response);
      } catch (const std::exception&) {
        models.clear();
      }
      done(std::move(models));
    });
  });
}

asio::awaitable<std::vector<LLMModel>> list() { return list(ProviderConfig{}); }

asio::awaitable<std::vector<LLMModel>> list(ProviderConfig config) {
  return awaitCallback<std::vector<LLMModel>>(
      [config = std::move(config)](std::function<void(std::vector<LLMModel>)> done) { list(config, std::move(done)); });
}

}  // namespace tavlo::LMStudioProbe
