// Parsing a typical generate request and writing a typical reply.
#include <benchmark/benchmark.h>

#include "http/HTTPRequest.hpp"
#include "http/HTTPResponse.hpp"

namespace {

const std::string kGenerate =
    "POST /generate HTTP/1.1\r\nHost: desk.local:18765\r\nContent-Type: application/json\r\n"
    "Accept: */*\r\nUser-Agent: Tavlo/1.0 CFNetwork/1490\r\nAccept-Language: en-GB,en;q=0.9\r\n"
    "Content-Length: 58\r\n\r\n{\"prompt\":\"a button that turns the selection into title case\"}";

void parseRequest(benchmark::State& state) {
  for (auto _ : state) {
    auto request = tavlo::HTTPRequest::tryParse(kGenerate);
    benchmark::DoNotOptimize(request->jsonBody());
  }
}
BENCHMARK(parseRequest);

void unfinishedHead(benchmark::State& state) {
  const std::string partial(60 * 1024, 'a');
  for (auto _ : state) benchmark::DoNotOptimize(tavlo::HTTPRequest::tryParse(partial));
}
BENCHMARK(unfinishedHead);

void writeReply(benchmark::State& state) {
  nlohmann::json files;
  for (int i = 0; i < 8; ++i) files["userscripts/file" + std::to_string(i) + ".user.js"] = std::string(2000, 'x');
  const nlohmann::json reply = {{"ok", true}, {"reply", "Made a pack"}, {"pack_path", "/home/u/TavloStaging/p"},
                                {"files", files}};
  for (auto _ : state) benchmark::DoNotOptimize(tavlo::HTTPResponse::json(reply).serialize());
}
BENCHMARK(writeReply);

}  // namespace
