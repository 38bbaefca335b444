#include "providers/LMStudioProbe.hpp"


#include <nlohmann/json.hpp>

#include "platform/HttpClient.hpp"
#include "providers/ModelListing.hpp"
#include "providers/ProviderJSON.hpp"

namespace tavlo::LMStudioProbe {

std::vector<LLMModel> modelsFromResponse(const FetchResponse& response) {
  if (response.status != 200) return {};
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

asio::awaitable<std::vector<LLMModel>> list(ProviderConfig config) {
  std::string url = config.lmStudioURL + "/v1/models";
  std::string host = config.lmStudioHost;
  return fetchModelList(std::move(config), std::move(url), &modelsFromResponse, std::move(host));
}

}  // namespace tavlo::LMStudioProbe
