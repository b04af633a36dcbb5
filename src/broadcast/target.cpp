#include "broadcast/target.h"

#include "broadcast/inet.h"

#include <cstring>

namespace {

constexpr unsigned kTypeEthernet = 6;    // MIB_IF_TYPE_ETHERNET
constexpr unsigned kTypeIeee80211 = 71;  // IF_TYPE_IEEE80211

// inet_addr reads to a NUL; the record promises none within its 16 bytes.
struct Terminated {
  char text[kAddressStringSize + 1];
  explicit Terminated(const char *from) {
    std::memcpy(text, from, kAddressStringSize);
    text[kAddressStringSize] = '\0';
  }
};

}  // namespace

bool target_of_record(unsigned type, const char *address, const char *mask, std::uint32_t *target) {
  if (type != kTypeEthernet && type != kTypeIeee80211) return false;
  const Terminated addr(address);
  // An adapter still waiting for an address lists "0.0.0.0" first; its
  // later addresses are not looked at.
  if (std::strcmp(addr.text, "0.0.0.0") == 0) return false;
  const Terminated net_mask(mask);
  // Both values are in network order, so the bitwise result is too.
  *target = static_cast<std::uint32_t>(inet_addr(addr.text)) |
            ~static_cast<std::uint32_t>(inet_addr(net_mask.text));
  return true;
}
