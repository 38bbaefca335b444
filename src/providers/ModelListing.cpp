#include "providers/ModelListing.hpp"

#include <exception>

#include "platform/Async.hpp"
#include "platform/HttpClient.hpp"

namespace tavlo {

void fetchModelList(const ProviderConfig& config, std::string url, ModelsParser parse, ModelsDone done) {
  FetchRequest request;
  request.url = std::move(url);
  request.totalTimeout = config.probeTimeout;
  config.client().send(std::move(request), [parse, done = std::move(done)](FetchResponse response) mutable {
    // Parsing happens off the HTTP thread so a large answer never stalls other transfers.
    asio::post(workerPool(), [parse, done = std::move(done), response = std::move(response)]() mutable {
      std::vector<LLMModel> models;
      try {
        models = parse(response);
      } catch (const std::exception&) {
        models.clear();
      }
      done(std::move(models));
    });
  });
}

asio::awaitable<std::vector<LLMModel>> awaitModelList(std::function<void(ModelsDone)> start) {
  return awaitCallback<std::vector<LLMModel>>(std::move(start));
}

}  // namespace tavlo
