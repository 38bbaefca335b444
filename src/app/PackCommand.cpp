// `pack`: the generate pipeline after the model has answered. Prints exactly
// the body POST /generate would answer for the same answer. Runs on the main
// thread alone.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/Commands.hpp"
#include "core/CompanionState.hpp"
#include "core/Generate.hpp"
#include "pack/PackFolder.hpp"
#include "pack/PackReply.hpp"
#include "text/JSONText.hpp"
#include "providers/LLMModel.hpp"

namespace tavlo {

int runPackCommand(const std::vector<std::string>& args) {
  std::optional<std::string> prompt, model, staging, answerFile;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string option = args[i];
    std::optional<std::string> value;
    if (const auto eq = option.find('='); option.starts_with("--") && eq != std::string::npos) {
      value = option.substr(eq + 1);
      option.resize(eq);
    }
    std::optional<std::string>* slot = option == "--prompt"   ? &prompt
                                       : option == "--model"  ? &model
                                       : option == "--staging" ? &staging
                                       : option == "--answer" ? &answerFile
                                                              : nullptr;
    if (!slot) return usageError("pack: unknown option or argument: " + args[i]);
    if (!value) {
      if (i + 1 >= args.size()) return usageError("pack: " + option + " needs a value");
      value = args[++i];
    }
    *slot = std::move(value);
  }
  if (!prompt) return usageError("pack: --prompt TEXT is required");
  if (!model) return usageError("pack: --model ID is required");

  const auto colon = model->find(':');
  const auto provider =
      colon == std::string::npos ? std::nullopt : LLMModel::providerFromRawValue(std::string_view(*model).substr(0, colon));
  if (!provider)
    return usageError("pack: model id '" + *model +
                      "' does not start with ollama:, lmstudio:, claude:, codex: or gemini:");

  std::string answer;
  if (answerFile) {
    const int fd = ::open(answerFile->c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return usageError("pack: cannot read answer file " + *answerFile + ": " + std::strerror(errno));
    const bool ok = readAll(fd, answer);
    const int error = errno;
    ::close(fd);
    if (!ok) return usageError("pack: cannot read answer file " + *answerFile + ": " + std::strerror(error));
  } else if (!readAll(STDIN_FILENO, answer)) {
    return usageError(std::string("pack: cannot read the answer from stdin: ") + std::strerror(errno));
  }

  const auto stagingDir = stagingFor(staging);
  if (!stagingDir) return usageError("pack: " + stagingDir.message());
  PackOutcome written = writePackFor(answer, *prompt, *model, *stagingDir);
  const int status = written ? kExitOk : kExitFailed;
  const nlohmann::json reply = written ? packSuccessReply(std::move(written).value(), *model)
                                       : failureReply(LLMModel::providerLabelOf(*provider), written.error().message);
  const std::string body = writeCompactJSON(reply) + "\n";
  std::fwrite(body.data(), 1, body.size(), stdout);
  std::fflush(stdout);
  return status;
}

}  // namespace tavlo
