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
namespace {

// The model's answer from `file`, or from stdin without one.
Result<std::string> readAnswer(const std::optional<std::string>& file) {
  if (!file) {
    Result<std::string> read = readAll(STDIN_FILENO);
    if (!read) return fail("pack: cannot read the answer from stdin: " + read.message());
    return read;
  }
  const int fd = ::open(file->c_str(), O_RDONLY | O_CLOEXEC);
  Result<std::string> read = fd < 0 ? fail(std::strerror(errno)) : readAll(fd);
  if (fd >= 0) ::close(fd);
  if (!read) return fail("pack: cannot read answer file " + *file + ": " + read.message());
  return read;
}

}  // namespace

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

  const Result<std::string> answer = readAnswer(answerFile);
  if (!answer) return usageError(answer.message());

  const auto stagingDir = stagingFor(staging);
  if (!stagingDir) return usageError("pack: " + stagingDir.message());
  PackOutcome written = TavloPackWriter::writePack(*answer, *prompt, *model, *stagingDir);
  const int status = written ? kExitOk : kExitFailed;
  const nlohmann::json reply = written ? packSuccessReply(std::move(written).value(), *model)
                                       : failureReply(LLMModel::providerLabelOf(*provider), written.error().message);
  const std::string body = writeCompactJSON(reply) + "\n";
  std::fwrite(body.data(), 1, body.size(), stdout);
  std::fflush(stdout);
  return status;
}

}  // namespace tavlo
