#pragma once
// Reading a back end's JSON answer; called from any thread (the worker pool in practice).
#include <string_view>

#include <nlohmann/json.hpp>

namespace tavlo {

// Parses a back end's answer. Anything that is not JSON, or nests deeper than
// `maxDepth`, is a discarded value: a body of fifty million "[" must not turn
// into fifty million nested arrays.
nlohmann::json parseProviderJSON(std::string_view body, int maxDepth = 512);

}  // namespace tavlo
