#include "providers/ModelListing.hpp"

#include "platform/Async.hpp"
#include "platform/HttpClient.hpp"

namespace tavlo {
namespace {

// Off the caller's thread: a large answer takes a while to parse.
asio::awaitable<std::vector<LLMModel>> parseOffThread(ModelsParser parse, FetchResponse response) {
  return runBlocking([parse, response = std::move(response)] { return parse(response); });
}

}  // namespace

asio::awaitable<std::vector<LLMModel>> fetchModelList(ProviderConfig config, std::string url, ModelsParser parse,
                                                      std::string host) {
  FetchRequest request;
  request.url = std::move(url);
  request.totalTimeout = config.probeTimeout;
  Result<FetchResponse> response = co_await config.client().send(std::move(request));
  if (!response) co_return std::vector<LLMModel>{};
  std::vector<LLMModel> models = co_await parseOffThread(parse, std::move(response).value());
  for (auto& model : models) model.host = host;
  co_return models;
}

}  // namespace tavlo
