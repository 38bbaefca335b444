#include "providers/LLMModel.hpp"

#include <gtest/gtest.h>

#include <unordered_set>

namespace tavlo {
namespace {

using P = LLMModel::Provider;

TEST(LLMModelTest, RawValuesMatchExactlyAndOnlyInLowerCase) {
  for (auto p : {P::ollama, P::lmstudio, P::claude, P::codex, P::gemini})
    EXPECT_EQ(LLMModel::providerFromRawValue(LLMModel::rawValue(p)), p);
  EXPECT_EQ(LLMModel::rawValue(P::lmstudio), "lmstudio");
  EXPECT_FALSE(LLMModel::providerFromRawValue("LMStudio"));
  EXPECT_FALSE(LLMModel::providerFromRawValue("Ollama"));
  EXPECT_FALSE(LLMModel::providerFromRawValue(""));
  EXPECT_FALSE(LLMModel::providerFromRawValue("ollama "));
}

TEST(LLMModelTest, LabelsAndIcons) {
  LLMModel o{"ollama:x", P::ollama, "x", std::nullopt};
  LLMModel l{"lmstudio:x", P::lmstudio, "x", std::nullopt};
  EXPECT_EQ(o.providerIcon(), "shippingbox");
  EXPECT_EQ(o.providerIcon(), l.providerIcon());
  EXPECT_EQ(l.providerLabel(), "LM Studio");
  EXPECT_EQ((LLMModel{"claude:cli", P::claude, "", {}}.providerIcon()), "sparkles");
  EXPECT_EQ((LLMModel{"codex:cli", P::codex, "", {}}.providerIcon()), "terminal");
  EXPECT_EQ((LLMModel{"g", P::gemini, "", {}}.providerIcon()), "diamond");
  EXPECT_EQ(LLMModel::providerLabelOf(P::gemini), "Gemini");
}

TEST(LLMModelTest, EqualityAndHashCoverEveryField) {
  LLMModel a{"ollama:llama3:8b", P::ollama, "llama3:8b", "4.7 GB"};
  LLMModel same = a;
  LLMModel noSubtitle{"ollama:llama3:8b", P::ollama, "llama3:8b", std::nullopt};
  LLMModel emptySubtitle{"ollama:llama3:8b", P::ollama, "llama3:8b", ""};
  EXPECT_EQ(a, same);
  EXPECT_EQ(std::hash<LLMModel>{}(a), std::hash<LLMModel>{}(same));
  EXPECT_NE(a, noSubtitle);
  EXPECT_NE(noSubtitle, emptySubtitle);
  EXPECT_EQ(noSubtitle, (LLMModel{"ollama:llama3:8b", P::ollama, "llama3:8b", std::nullopt}));
  EXPECT_NE(a, (LLMModel{"lmstudio:llama3:8b", P::lmstudio, "llama3:8b", "4.7 GB"}));
  std::unordered_set<LLMModel> set{a, same, noSubtitle, emptySubtitle};
  EXPECT_EQ(set.size(), 3u);
}

}  // namespace
}  // namespace tavlo
