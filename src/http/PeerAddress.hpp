#pragma once
// Client addresses as the server counts them; pure functions, any thread.
#include <sys/socket.h>

#include <array>
#include <string>

namespace tavlo {

// A client address as 16 bytes, IPv4 as IPv4-mapped IPv6, so both families count alike.
using AddressKey = std::array<unsigned char, 16>;

AddressKey addressKeyOf(const sockaddr_storage& address);
bool isV4Mapped(const AddressKey& key);
bool isLoopback(const AddressKey& key);
// What the per-address cap counts: an IPv4 address, or an IPv6 /64 (one host may
// take any number of addresses inside its /64).
AddressKey capGroupOf(AddressKey key);
// The address as text; IPv4-mapped IPv6 shown as IPv4.
std::string addressText(const AddressKey& key);

}  // namespace tavlo
