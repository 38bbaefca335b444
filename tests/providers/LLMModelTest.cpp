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
  LLMModel lm{"lmstudio:llama3:8b", P::lmstudio, "llama3:8b", "4.7 GB"};
  EXPECT_NE(a, lm);
  EXPECT_EQ(a.providerIcon(), lm.providerIcon());
  std::unordered_set<LLMModel> set{a, same, noSubtitle, emptySubtitle};
  EXPECT_EQ(set.size(), 3u);
}

}  // namespace
}  // namespace tavlo
