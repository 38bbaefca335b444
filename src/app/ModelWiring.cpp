#include "app/Services.hpp"
#include "platform/Async.hpp"
#include "platform/Cancellation.hpp"
#include "providers/CLIProbe.hpp"
#include "providers/LLMRunner.hpp"
#include "providers/LMStudioProbe.hpp"
#include "providers/OllamaProbe.hpp"
#include "providers/ProviderConfig.hpp"

namespace tavlo {

void installModelServices(CompanionServices& s, std::chrono::milliseconds toolTimeLimit) {
  auto editable = std::make_shared<ProviderConfig>();
  editable->toolTimeLimit = toolTimeLimit;
  std::shared_ptr<const ProviderConfig> config = editable;
  using Models = std::vector<LLMModel>;
  s.ollamaProbe = [config] {
    return awaitCallback<Models>([config](std::function<void(Models)> done) { OllamaProbe::list(*config, done); });
  };
  s.lmstudioProbe = [config] {
    return awaitCallback<Models>([config](std::function<void(Models)> done) { LMStudioProbe::list(*config, done); });
  };
  s.cliProbe = [config] {
    return awaitCallback<Models>([config](std::function<void(Models)> done) { CLIProbe::list(*config, done); });
  };
  s.runModel = [config](std::string prompt, LLMModel model, std::shared_ptr<Cancellation> cancel) {
    return awaitCallback<ModelAnswer>([config, prompt = std::move(prompt), model = std::move(model),
                                       cancel = std::move(cancel)](std::function<void(ModelAnswer)> done) {
      LLMRunner::generate(
          prompt, model, *config,
          [done](LLMResult r) {
            done(r.answer ? ModelAnswer(*r.answer) : ModelAnswer(fail(r.errorDescription())));
          },
          cancel);
    });
  };
}

}  // namespace tavlo
