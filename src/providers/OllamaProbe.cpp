#include "providers/OllamaProbe.hpp"

#include <cmath>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "platform/HttpClient.hpp"
#include "providers/ModelListing.hpp"
#include "providers/ProviderJSON.hpp"

namespace tavlo::OllamaProbe {

std::vector<LLMModel> modelsFromResponse(const FetchResponse& response) {
  if (response.status != 200) return {};
  auto json = parseProviderJSON(response.body);
  if (json.is_discarded() || !json.is_object()) return {};
  auto models = json.find("models");
  if (models == json.end() || !models->is_array()) return {};
  for (const auto& entry : *models)
    if (!entry.is_object()) return {};
  std::vector<LLMModel> out;
  for (const auto& entry : *models) {
    auto name = entry.find("name");
    if (name == entry.end() || !name->is_string()) continue;
    LLMModel model{"ollama:" + name->get<std::string>(), LLMModel::Provider::ollama, name->get<std::string>(), std::nullopt};
    auto size = entry.find("size");
    if (size != entry.end() && size->is_number_integer()) {
      model.subtitle = size->is_number_unsigned() && size->get<std::uint64_t>() > INT64_MAX
                           ? formatFileSize(INT64_MAX)
                           : formatFileSize(size->get<std::int64_t>());
    }
    out.push_back(std::move(model));
  }
  return out;
}

std::string formatFileSize(std::int64_t bytes) {
  if (bytes == 0) return "Zero KB";
  std::string sign = bytes < 0 ? "-" : "";
  double value = std::fabs(static_cast<double>(bytes));
  if (value < 1000) return sign + std::to_string(static_cast<long long>(value)) + (value == 1 ? " byte" : " bytes");
  static const char* const units[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
  static const int digits[] = {0, 1, 2, 2, 2, 2};
  int unit = -1;
  while (value >= 1000 && unit < 5) {
    value /= 1000;
    ++unit;
  }
  auto rounded = [&](int u, double v) {
    double scale = std::pow(10.0, digits[u]);
    return std::round(v * scale) / scale;
  };
  double shown = rounded(unit, value);
  if (shown >= 1000 && unit < 5) {
    value /= 1000;
    ++unit;
    shown = rounded(unit, value);
  }
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", digits[unit], shown);
  std::string text = buf;
  if (text.find('.') != std::string::npos) {
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
  }
  return sign + text + " " + units[unit];
}

asio::awaitable<std::vector<LLMModel>> list(ProviderConfig config) {
  std::string url = config.ollamaURL + "/api/tags";
  std::string host = config.ollamaHost;
  return fetchModelList(std::move(config), std::move(url), &modelsFromResponse, std::move(host));
}

}  // namespace tavlo::OllamaProbe
