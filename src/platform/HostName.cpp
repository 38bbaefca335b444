#include "platform/HostName.hpp"

#include <unistd.h>

#include <climits>
#include <fstream>

namespace tavlo {
namespace {

std::string unquote(std::string v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    v = v.substr(1, v.size() - 2);
  std::string out;
  for (size_t i = 0; i < v.size(); ++i) {
    if (v[i] == '\\' && i + 1 < v.size()) ++i;
    out.push_back(v[i]);
  }
  return out;
}

}  // namespace

std::string networkHostName() {
  char buf[HOST_NAME_MAX + 1] = {};
  if (gethostname(buf, sizeof buf - 1) != 0) return {};
  return buf;
}

std::string localizedHostName(const std::filesystem::path& machineInfo) {
  std::ifstream in(machineInfo);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("PRETTY_HOSTNAME=", 0) == 0) {
      auto v = unquote(line.substr(16));
      if (!v.empty()) return v;
    }
  }
  return networkHostName();
}

}  // namespace tavlo
