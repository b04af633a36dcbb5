// Feeds target_of_record adapter records it has never seen: any type, and
// address and mask arrays of exactly 16 bytes, NUL-terminated or not, each
// on the heap so AddressSanitizer sees a read past either end.
//
// Input: 4 bytes of type (least significant first), 16 bytes of address,
// 16 bytes of mask; a short input is padded with zero bytes.
#include "broadcast/target.h"

#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr std::size_t kTypeSize = 4;
constexpr std::size_t kInputSize = kTypeSize + 2 * kAddressStringSize;

[[noreturn]] void fail(const char *what) {
  std::fprintf(stderr, "target_fuzz: %s\n", what);
  std::abort();
}

// What the caller would read from the record as a C string, worked out
// here without the code under test.
struct Text {
  char text[kAddressStringSize + 1] = {};
  explicit Text(const char *bytes) { std::memcpy(text, bytes, kAddressStringSize); }
};

void check(unsigned type, const char *address, const char *mask) {
  std::uint32_t target = 0;
  const bool chosen = target_of_record(type, address, mask, &target);
  const bool sendable_type = type == 6 || type == 71;
  if (!sendable_type) {
    if (chosen) fail("chose an adapter that is neither Ethernet nor 802.11");
    return;
  }
  const Text addr(address), net_mask(mask);
  if (std::strcmp(addr.text, "0.0.0.0") == 0) {
    if (chosen) fail("chose an adapter whose first address is 0.0.0.0");
    return;
  }
  if (!chosen) fail("skipped an Ethernet or 802.11 adapter with an address");
  const std::uint32_t expected = static_cast<std::uint32_t>(inet_addr(addr.text)) |
                                 ~static_cast<std::uint32_t>(inet_addr(net_mask.text));
  if (target != expected) fail("target is not address | ~mask");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::uint8_t input[kInputSize] = {};
  std::memcpy(input, data, size < kInputSize ? size : kInputSize);
  unsigned type = 0;
  for (std::size_t i = 0; i < kTypeSize; ++i) type |= unsigned{input[i]} << (8 * i);
  // Exactly 16 bytes each: one byte more would hide a read past the end.
  const std::unique_ptr<char[]> address(new char[kAddressStringSize]);
  const std::unique_ptr<char[]> mask(new char[kAddressStringSize]);
  std::memcpy(address.get(), input + kTypeSize, kAddressStringSize);
  std::memcpy(mask.get(), input + kTypeSize + kAddressStringSize, kAddressStringSize);
  check(type, address.get(), mask.get());
  return 0;
}
