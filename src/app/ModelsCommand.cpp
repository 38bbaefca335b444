// `models`: one round of the three probes. Piped, or with --json, printed as
// the GET /models body (scripts read it); on a terminal, as a table. Runs on
// the main thread; the probes run to completion there (runToCompletion).
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "app/Commands.hpp"
#include "app/ModelChoice.hpp"
#include "app/Services.hpp"
#include "text/JSONText.hpp"

namespace tavlo {
namespace {

// Characters, not bytes, so that names with accents or CJK letters still line up roughly.
std::size_t textWidth(const std::string& text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

void printTable(const std::vector<LLMModel>& models, const std::string& selectedID) {
  if (models.empty()) {
    std::printf("No models found. `tavlo-companion doctor` shows where they were looked for.\n");
    return;
  }
  // A HOST column only when a server runs on another computer (OLLAMA_HOST, TAVLO_LMSTUDIO_URL).
  const bool anyRemote = std::any_of(models.begin(), models.end(), [](const LLMModel& m) { return !m.host.empty(); });
  using Row = std::vector<std::string>;
  std::vector<Row> rows{{"ID", "PROVIDER", "NAME", "SIZE", "SELECTED"}};
  if (anyRemote) rows[0].insert(rows[0].begin() + 2, "HOST");
  for (const auto& m : models) {
    // Only Ollama's subtitle is a size; the others describe the login.
    const std::string size = m.provider == LLMModel::Provider::ollama ? m.subtitle.value_or("") : "";
    rows.push_back({m.id, std::string(LLMModel::rawValue(m.provider)), m.name, size, m.id == selectedID ? "yes" : ""});
    if (anyRemote) rows.back().insert(rows.back().begin() + 2, m.host.empty() ? "this computer" : m.host);
  }
  std::vector<std::size_t> widths(rows[0].size());
  for (const auto& row : rows)
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], textWidth(row[i]));
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i)
      line += row[i] + (i + 1 < row.size() ? std::string(widths[i] - textWidth(row[i]) + 2, ' ') : "");
    line.erase(line.find_last_not_of(' ') + 1);
    std::printf("%s\n", line.c_str());
  }
}

}  // namespace

int runModelsCommand(const std::vector<std::string>& args) {
  bool json = !::isatty(STDOUT_FILENO);
  for (const auto& arg : args) {
    if (arg != "--json") return usageError("models: unexpected argument: " + arg);
    json = true;
  }
  // "selected" marks the companion's stored choice; a one-shot listing never
  // chooses or stores one itself.
  const auto config = providerConfigFromEnvironment();
  if (!config) return usageError("models: " + config.message());
  const auto models = probeAllModelsOnce(*config);
  const std::string selectedID = persistedSelection();
  if (!json) {
    printTable(models, selectedID);
  } else {
    const std::string body = writeCompactJSON(modelListBody(models, selectedID)) + "\n";
    std::fwrite(body.data(), 1, body.size(), stdout);
  }
  std::fflush(stdout);
  return kExitOk;
}

}  // namespace tavlo
