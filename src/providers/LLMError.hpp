#pragma once
// What a model run gives back: the answer text, the runner's own error, or a
// platform error (connection refused, time-out, tool that cannot start)
// passed on with the platform's description.
#include <optional>
#include <string>
#include <utility>

namespace tavlo {

// Why a model run ended early: the companion (or a one-shot command) is stopping.
inline constexpr const char* kStoppedMessage = "stopped: the companion is shutting down";
// Why a model run ended early: someone stopped it from the panel.
inline constexpr const char* kCancelledMessage = "stopped on the computer";

struct LLMError {
  enum class Kind { network, unsupported };
  Kind kind = Kind::network;
  std::string message;

  static LLMError network(std::string m) { return {Kind::network, std::move(m)}; }
  static LLMError unsupported(std::string m) { return {Kind::unsupported, std::move(m)}; }
  // Shown to the user as is.
  const std::string& description() const { return message; }
  bool operator==(const LLMError&) const = default;
};

struct LLMResult {
  std::optional<std::string> answer{};  // set on success
  std::optional<LLMError> error{};      // the runner's own failure
  std::string platformError{};          // a transport or launch failure, as the platform words it

  static LLMResult success(std::string text) { return {std::move(text), std::nullopt, {}}; }
  static LLMResult failure(LLMError e) { return {std::nullopt, std::move(e), {}}; }
  static LLMResult platformFailure(std::string description) { return {std::nullopt, std::nullopt, std::move(description)}; }

  bool ok() const { return answer.has_value(); }
  std::string errorDescription() const { return error ? error->description() : platformError; }
};

}  // namespace tavlo
