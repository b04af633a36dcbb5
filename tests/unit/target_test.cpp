// Which adapter records become broadcast targets, and which address each gets, on made-up
// records. Records whose strings fill all 16 bytes are the fuzzer's, under AddressSanitizer.
#include "broadcast/target.h"

#include <gtest/gtest.h>

#include <winsock2.h>

#include <cstring>
#include <optional>
#include <string>

namespace {

constexpr unsigned kEthernet = 6, kWifi = 71;

// Lays the strings into 16-byte arrays, as the adapter record holds them.
std::optional<std::string> target(unsigned type, const char *address, const char *mask) {
  char a[kAddressStringSize] = {}, m[kAddressStringSize] = {};
  std::memcpy(a, address, std::strlen(address) + 1);
  std::memcpy(m, mask, std::strlen(mask) + 1);
  std::uint32_t out = 0;
  if (!target_of_record(type, a, m, &out)) return std::nullopt;
  in_addr in;
  in.s_addr = out;
  return std::string(inet_ntoa(in));
}

TEST(TargetOfRecord, DirectedBroadcastOfTheSubnet) {
  EXPECT_EQ(target(kEthernet, "192.168.1.20", "255.255.255.0"), "192.168.1.255");
  EXPECT_EQ(target(kWifi, "10.1.2.3", "255.255.0.0"), "10.1.255.255");
  EXPECT_EQ(target(kEthernet, "172.16.5.9", "255.255.255.252"), "172.16.5.11");
  // A host mask gives the adapter's own address; no mask, the limited broadcast.
  EXPECT_EQ(target(kEthernet, "255.255.255.254", "255.255.255.255"), "255.255.255.254");
  EXPECT_EQ(target(kWifi, "10.9.8.7", "0.0.0.0"), "255.255.255.255");
}

TEST(TargetOfRecord, OnlyAddressedEthernetAndWifiAdapters) {
  // Other (1), token ring (9), PPP (23), loopback (24), SLIP (28), tunnel (131).
  for (unsigned type : {0u, 1u, 9u, 23u, 24u, 28u, 70u, 72u, 131u, 0xFFFFFFFFu})
    EXPECT_EQ(target(type, "192.168.1.20", "255.255.255.0"), std::nullopt) << type;
  EXPECT_EQ(target(kEthernet, "0.0.0.0", "0.0.0.0"), std::nullopt);
  EXPECT_EQ(target(kWifi, "0.0.0.0", "255.255.255.0"), std::nullopt);
}

}  // namespace
