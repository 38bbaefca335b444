#pragma once
// A plain value; made on the state thread, read wherever a snapshot goes.
#include <chrono>
#include <string>

namespace tavlo {

// One generate request as the panel lists it, recorded when the request starts.
struct RecentRequest {
  std::string id;  // random UUID text
  std::string prompt;
  std::string modelID;
  std::chrono::system_clock::time_point createdAt;

  static RecentRequest make(std::string prompt, std::string modelID, std::chrono::system_clock::time_point createdAt);
  bool operator==(const RecentRequest&) const = default;
};

}  // namespace tavlo
