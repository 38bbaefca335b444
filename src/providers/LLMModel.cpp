#include "providers/LLMModel.hpp"

namespace tavlo {

std::string_view LLMModel::rawValue(Provider p) {
  switch (p) {
    case Provider::ollama: return "ollama";
    case Provider::lmstudio: return "lmstudio";
    case Provider::claude: return "claude";
    case Provider::codex: return "codex";
    case Provider::gemini: return "gemini";
  }
  return "ollama";
}

std::optional<LLMModel::Provider> LLMModel::providerFromRawValue(std::string_view raw) {
  for (auto p : {Provider::ollama, Provider::lmstudio, Provider::claude, Provider::codex, Provider::gemini})
    if (rawValue(p) == raw) return p;
  return std::nullopt;
}

std::string_view LLMModel::providerLabelOf(Provider p) {
  switch (p) {
    case Provider::ollama: return "Ollama";
    case Provider::lmstudio: return "LM Studio";
    case Provider::claude: return "Claude";
    case Provider::codex: return "Codex";
    case Provider::gemini: return "Gemini";
  }
  return "Ollama";
}

std::optional<std::string> LLMModel::shownSubtitle() const {
  if (host.empty()) return subtitle;
  std::string text = std::string(providerLabel()) + " on " + host;
  if (subtitle && !subtitle->empty()) text += " \u00b7 " + *subtitle;
  return text;
}

std::string_view LLMModel::providerIcon() const {
  switch (provider) {
    case Provider::ollama:
    case Provider::lmstudio: return "shippingbox";
    case Provider::claude: return "sparkles";
    case Provider::codex: return "terminal";
    case Provider::gemini: return "diamond";
  }
  return "shippingbox";
}

}  // namespace tavlo
