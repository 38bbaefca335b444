#pragma once
// Publishes one DNS-SD service (IPv4) through the Avahi daemon, on Avahi's own
// poll thread. Survives the daemon restarting (registers again once it is
// back); a name collision takes Avahi's alternative name; without a daemon it
// logs one line and waits for one to appear.
#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace tavlo {

class DnsSdAdvertiser {
 public:
  struct Service {
    std::string name;  // instance name, e.g. "Tavlo on Desk"
    std::string type;  // e.g. "_tavlo._tcp"
    uint16_t port = 0;
    std::map<std::string, std::string> txt;
  };

  DnsSdAdvertiser();
  ~DnsSdAdvertiser();  // withdraws and disconnects
  DnsSdAdvertiser(const DnsSdAdvertiser&) = delete;
  DnsSdAdvertiser& operator=(const DnsSdAdvertiser&) = delete;

  // Replaces whatever was published before; the same service with another TXT
  // record is updated in place, an identical one costs nothing. Thread-safe; never throws.
  void publish(Service service);
  // Withdraws the service, if any. Thread-safe; never throws.
  void withdraw();
  // The instance name in use (after a collision, Avahi's alternative), or empty.
  std::string currentName() const;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace tavlo
