#pragma once
// One selectable model: a plain value, used from any thread.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavlo {

// One selectable model. The id is stable across refreshes and is what the
// selection stores; the prefix before the first colon is the provider's raw value.
struct LLMModel {
  enum class Provider : std::uint8_t { ollama, lmstudio, claude, codex, gemini };

  std::string id;
  Provider provider = Provider::ollama;
  std::string name;
  std::optional<std::string> subtitle;
  // The server's host when the model runs on another computer; empty on this one.
  std::string host{};

  // The subtitle as the phone and the panel show it: "Ollama on HOST · SIZE"
  // for a model on another computer, else the subtitle itself.
  std::optional<std::string> shownSubtitle() const;

  std::string_view providerLabel() const { return providerLabelOf(provider); }
  std::string_view providerIcon() const;

  static std::string_view rawValue(Provider p);
  static std::optional<Provider> providerFromRawValue(std::string_view raw);
  static std::string_view providerLabelOf(Provider p);

  bool operator==(const LLMModel&) const = default;
};

}  // namespace tavlo
