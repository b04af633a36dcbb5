// The two platform-free parts on inputs no test thought of, under AddressSanitizer and
// UndefinedBehaviorSanitizer: any 64-bit clock reading into the packet builder, and any
// adapter record into the target choice, its 16-byte strings terminated or not and alone on
// the heap, so a read past either end is caught. Their values are the unit tests' to judge.
//
// Input: 8 bytes of clock reading, 4 of type, 16 of address, 16 of mask; short inputs are
// padded with zero bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "broadcast/packet.h"
#include "broadcast/target.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::uint8_t input[12 + 2 * kAddressStringSize] = {};
  std::memcpy(input, data, size < sizeof input ? size : sizeof input);
  std::uint64_t clock;
  std::uint32_t type, target;
  std::memcpy(&clock, input, sizeof clock);
  std::memcpy(&type, input + 8, sizeof type);
  unsigned char packet[kPacketSize];
  build_packet(clock, packet);
  const std::unique_ptr<char[]> address(new char[kAddressStringSize]);
  const std::unique_ptr<char[]> mask(new char[kAddressStringSize]);
  std::memcpy(address.get(), input + 12, kAddressStringSize);
  std::memcpy(mask.get(), input + 12 + kAddressStringSize, kAddressStringSize);
  target_of_record(type, address.get(), mask.get(), &target);
  return 0;
}
