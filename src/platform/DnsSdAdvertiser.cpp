#include "platform/DnsSdAdvertiser.hpp"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>

#include <optional>

#include "platform/Log.hpp"

namespace tavlo {
namespace {

// A DNS label holds at most 63 bytes; cut at a UTF-8 character boundary.
std::string fitInstanceName(std::string name) {
  constexpr std::size_t kMaxLabel = 63;
  if (name.size() <= kMaxLabel) return name;
  std::size_t cut = kMaxLabel;
  while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
  name.resize(cut);
  return name;
}

}  // namespace

struct DnsSdAdvertiser::State {
  AvahiThreadedPoll* poll = nullptr;
  AvahiClient* client = nullptr;
  AvahiEntryGroup* group = nullptr;
  std::optional<Service> wanted;
  std::string requested;  // the instance name asked for
  std::string name;       // the instance name in use
  bool added = false;     // the group holds `wanted`
  bool unavailableLogged = false;

  // Every function below runs on the poll thread or with the poll locked.

  void logUnavailable(int error) {
    if (unavailableLogged) return;
    unavailableLogged = true;
    logLine(std::string("Tavlo DNS-SD unavailable (") + avahi_strerror(error) +
            "); serving without advertisement until avahi-daemon runs");
  }

  void connect() {
    int error = 0;
    client = avahi_client_new(avahi_threaded_poll_get(poll), AVAHI_CLIENT_NO_FAIL, &State::onClient, this, &error);
    if (!client) logUnavailable(error);
  }

  void registerService() {
    if (!wanted || !client || avahi_client_get_state(client) != AVAHI_CLIENT_S_RUNNING) return;
    if (!group) {
      group = avahi_entry_group_new(client, &State::onGroup, this);
      if (!group) return;
    }
    reset();
    AvahiStringList* txt = txtList();
    int result = AVAHI_ERR_COLLISION;
    for (int attempt = 0; attempt < 32 && result == AVAHI_ERR_COLLISION; ++attempt) {
      result = avahi_entry_group_add_service_strlst(group, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, AvahiPublishFlags(0),
                                                    name.c_str(), wanted->type.c_str(), nullptr, nullptr,
                                                    wanted->port, txt);
      if (result == AVAHI_ERR_COLLISION) takeAlternativeName();
    }
    avahi_string_list_free(txt);
    if (result < 0) {
      logLine(std::string("Tavlo DNS-SD registration failed: ") + avahi_strerror(result));
      reset();
      return;
    }
    added = avahi_entry_group_commit(group) >= 0;
  }

  void reset() {
    added = false;
    if (group) avahi_entry_group_reset(group);
  }

  AvahiStringList* txtList() const {
    AvahiStringList* txt = nullptr;
    for (const auto& [key, value] : wanted->txt) txt = avahi_string_list_add_pair(txt, key.c_str(), value.c_str());
    return txt;
  }

  // A new TXT for the registered service, in place: browsers see the record
  // change rather than the service leave and come back.
  void updateText() {
    if (!client || avahi_client_get_state(client) != AVAHI_CLIENT_S_RUNNING) return;  // registered once running
    int result = AVAHI_ERR_BAD_STATE;
    if (added) {
      AvahiStringList* txt = txtList();
      result = avahi_entry_group_update_service_txt_strlst(group, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, AvahiPublishFlags(0),
                                                           name.c_str(), wanted->type.c_str(), nullptr, txt);
      avahi_string_list_free(txt);
    }
    if (result < 0) registerService();
  }

  void takeAlternativeName() {
    char* alternative = avahi_alternative_service_name(name.c_str());
    if (alternative) name = alternative;
    avahi_free(alternative);
  }

  static void onClient(AvahiClient* c, AvahiClientState clientState, void* userdata) {
    auto* self = static_cast<State*>(userdata);
    self->client = c;  // also reached from inside avahi_client_new, before it returns
    switch (clientState) {
      case AVAHI_CLIENT_S_RUNNING:
        self->registerService();
        break;
      case AVAHI_CLIENT_S_COLLISION:
      case AVAHI_CLIENT_S_REGISTERING:
        self->reset();
        break;
      case AVAHI_CLIENT_CONNECTING:
        self->logUnavailable(AVAHI_ERR_NO_DAEMON);
        break;
      case AVAHI_CLIENT_FAILURE:
        if (avahi_client_errno(c) == AVAHI_ERR_DISCONNECTED) {
          // The daemon went away (restart): start over and wait for it to return.
          avahi_client_free(c);  // frees the entry group as well
          self->client = nullptr;
          self->group = nullptr;
          self->added = false;
          self->connect();
        } else {
          self->logUnavailable(avahi_client_errno(c));
        }
        break;
    }
  }

  static void onGroup(AvahiEntryGroup* g, AvahiEntryGroupState groupState, void* userdata) {
    auto* self = static_cast<State*>(userdata);
    self->group = g;
    if (groupState == AVAHI_ENTRY_GROUP_COLLISION) {
      self->takeAlternativeName();
      self->registerService();
    }
  }
};

DnsSdAdvertiser::DnsSdAdvertiser() : state_(std::make_unique<State>()) {
  state_->poll = avahi_threaded_poll_new();
  if (!state_->poll) {
    state_->logUnavailable(AVAHI_ERR_NO_MEMORY);
    return;
  }
  state_->connect();
  if (avahi_threaded_poll_start(state_->poll) < 0) {
    if (state_->client) avahi_client_free(state_->client);
    state_->client = nullptr;
    avahi_threaded_poll_free(state_->poll);
    state_->poll = nullptr;
    state_->logUnavailable(AVAHI_ERR_FAILURE);
  }
}

DnsSdAdvertiser::~DnsSdAdvertiser() {
  if (!state_->poll) return;
  avahi_threaded_poll_stop(state_->poll);
  if (state_->client) avahi_client_free(state_->client);
  avahi_threaded_poll_free(state_->poll);
}

void DnsSdAdvertiser::publish(Service service) {
  if (!state_->poll) return;
  avahi_threaded_poll_lock(state_->poll);
  auto& s = *state_;
  std::string name = fitInstanceName(service.name);
  if (s.wanted && s.requested == name && s.wanted->type == service.type && s.wanted->port == service.port) {
    // The same service: only a changed TXT is sent, and in place.
    if (s.wanted->txt != service.txt) {
      s.wanted->txt = std::move(service.txt);
      s.updateText();
    }
  } else {
    s.requested = name;
    s.name = std::move(name);
    s.wanted = std::move(service);
    s.registerService();
  }
  avahi_threaded_poll_unlock(state_->poll);
}

void DnsSdAdvertiser::withdraw() {
  if (!state_->poll) return;
  avahi_threaded_poll_lock(state_->poll);
  state_->wanted.reset();
  state_->reset();
  avahi_threaded_poll_unlock(state_->poll);
}

std::string DnsSdAdvertiser::currentName() const {
  if (!state_->poll) return {};
  avahi_threaded_poll_lock(state_->poll);
  std::string name = state_->wanted ? state_->name : std::string();
  avahi_threaded_poll_unlock(state_->poll);
  return name;
}

}  // namespace tavlo
