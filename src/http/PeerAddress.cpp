// Pure functions, any thread.
#include "http/PeerAddress.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>

namespace tavlo {

AddressKey addressKeyOf(const sockaddr_storage& address) {
  AddressKey key{};
  if (address.ss_family == AF_INET6) {
    std::memcpy(key.data(), &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, 16);
  } else if (address.ss_family == AF_INET) {
    key[10] = key[11] = 0xff;
    std::memcpy(key.data() + 12, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, 4);
  }
  return key;
}

bool isV4Mapped(const AddressKey& key) {
  return std::all_of(key.begin(), key.begin() + 10, [](unsigned char b) { return b == 0; }) && key[10] == 0xff &&
         key[11] == 0xff;
}

bool isLoopback(const AddressKey& key) {
  if (isV4Mapped(key)) return key[12] == 127;
  return std::all_of(key.begin(), key.end() - 1, [](unsigned char b) { return b == 0; }) && key[15] == 1;
}

AddressKey capGroupOf(AddressKey key) {
  if (!isV4Mapped(key)) std::fill(key.begin() + 8, key.end(), 0);
  return key;
}

std::string addressText(const AddressKey& key) {
  char text[INET6_ADDRSTRLEN] = {};
  if (isV4Mapped(key)) inet_ntop(AF_INET, key.data() + 12, text, sizeof text);
  else inet_ntop(AF_INET6, key.data(), text, sizeof text);
  return text;
}

}  // namespace tavlo
