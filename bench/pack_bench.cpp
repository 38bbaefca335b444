// writePack of a typical answer (4 userscripts, 10 buttons, 2 recipes) on
// tmpfs and on disk, and extraction of answers whose JSON follows prose.
// build/bench/bin/pack_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "pack/PackDocument.hpp"
#include "pack/TavloPackWriter.hpp"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

std::string typicalAnswer() {
  json buttons = json::array();
  for (int i = 0; i < 10; ++i)
    buttons.push_back({{"label", "Button " + std::to_string(i)}, {"kind", "snippet"}, {"text", "Some text to insert"}});
  json scripts = json::array();
  for (int i = 0; i < 4; ++i)
    scripts.push_back({{"filename", "script-" + std::to_string(i) + ".js"},
                       {"name", "Script " + std::to_string(i)},
                       {"match", "https://example.com/*"},
                       {"description", "Does thing " + std::to_string(i)},
                       {"body", "(function () {\n" + std::string(1500, ' ') + "document.title += '!';\n})();\n"}});
  json recipes = json::array();
  for (int i = 0; i < 2; ++i)
    recipes.push_back({{"filename", "recipe-" + std::to_string(i) + ".py"},
                       {"summary", "Recipe"},
                       {"body", "import sys\nprint(sys.stdin.read().upper())\n"}});
  const json doc = {{"name", "Benchmark Pack"},
                    {"summary", "A typical pack"},
                    {"keyboard_buttons", buttons},
                    {"userscripts", scripts},
                    {"python_recipes", recipes}};
  return "Here is your pack:\n\n```json\n" + doc.dump(2) + "\n```\n\nEnjoy!\n";
}

// Prose of `size` bytes without braces or fences, then the document.
std::string answerAfterProse(std::size_t size) {
  static const std::string sentence = "The quick brown fox jumps over the lazy dog, again and again. ";
  std::string text;
  text.reserve(size + 4096);
  while (text.size() < size) text += sentence;
  text.resize(size);
  return text + "\n" + typicalAnswer();
}

void writePackIn(benchmark::State& state, const char* base) {
  std::string pattern = std::string(base) + "/tavlo-pack-bench-XXXXXX";
  if (!::mkdtemp(pattern.data())) {
    state.SkipWithError("mkdtemp failed");
    return;
  }
  const fs::path staging = pattern;
  const std::string answer = typicalAnswer();
  for (auto _ : state) {
    auto result = tavlo::TavloPackWriter::writePack(answer, "make a typical pack", "ollama:bench", staging);
    benchmark::DoNotOptimize(result);
    // A taken name gets the next suffix: keep the staging folder as a user's
    // would be, not thousands of packs of one name deep.
    state.PauseTiming();
    fs::remove_all(result.path);
    state.ResumeTiming();
  }
  fs::remove_all(staging);
}

void BM_WritePackTmpfs(benchmark::State& state) { writePackIn(state, "/dev/shm"); }
void BM_WritePackDisk(benchmark::State& state) {
  const char* dir = std::getenv("TAVLO_BENCH_DISK_DIR");
  writePackIn(state, dir && *dir ? dir : "/var/tmp");
}

void BM_ExtractAfterProse(benchmark::State& state) {
  const std::string answer = answerAfterProse(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    auto doc = tavlo::TavloPackWriter::extractJSON(answer);
    benchmark::DoNotOptimize(doc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(answer.size()));
}

}  // namespace

BENCHMARK(BM_WritePackTmpfs)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WritePackDisk)->Unit(benchmark::kMillisecond)->Iterations(50);
BENCHMARK(BM_ExtractAfterProse)->Arg(64 << 10)->Arg(1 << 20)->Arg(8 << 20)->Unit(benchmark::kMicrosecond);
