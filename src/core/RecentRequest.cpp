// Called on the state thread; any thread may call it (its random source is per thread).
#include "core/RecentRequest.hpp"

#include <cstdio>
#include <random>

namespace tavlo {
namespace {

std::string randomUUID() {
  thread_local std::mt19937_64 rng{std::random_device{}()};
  std::uint64_t hi = rng(), lo = rng();
  hi = (hi & 0xffffffffffff0fffULL) | 0x0000000000004000ULL;  // version 4
  lo = (lo & 0x3fffffffffffffffULL) | 0x8000000000000000ULL;  // variant 10
  char buf[37];
  std::snprintf(buf, sizeof buf, "%08X-%04X-%04X-%04X-%012llX", static_cast<unsigned>(hi >> 32),
                static_cast<unsigned>((hi >> 16) & 0xffff), static_cast<unsigned>(hi & 0xffff),
                static_cast<unsigned>(lo >> 48), static_cast<unsigned long long>(lo & 0xffffffffffffULL));
  return buf;
}

}  // namespace

RecentRequest RecentRequest::make(std::string prompt, std::string modelID, std::chrono::system_clock::time_point createdAt) {
  return {randomUUID(), std::move(prompt), std::move(modelID), createdAt};
}

}  // namespace tavlo
