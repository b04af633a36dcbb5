// Which broadcast address, if any, one adapter record is sent to. The only
// platform call is inet_addr, so the choice can be exercised on made-up
// records (and built natively where inet_addr has the same contract).
#pragma once

#include <cstdint>

// The adapter record holds each dotted-decimal string in a 16-byte array.
inline constexpr unsigned kAddressStringSize = 16;

// `address` and `mask` each point at such a 16-byte array, which need not
// hold a terminating NUL. Returns true, with the directed broadcast address
// in network order in *target, for an Ethernet or IEEE 802.11 adapter whose
// first address is not "0.0.0.0".
bool target_of_record(unsigned type, const char *address, const char *mask, std::uint32_t *target);
