#include "broadcast/transmit.h"

#include "broadcast/clock.h"
#include "broadcast/packet.h"
#include "broadcast/target.h"
#include "common/report.h"

#include <winsock2.h>
#include <iphlpapi.h>
#include <windows.h>

#include <cstdint>
#include <cstdlib>

namespace {

constexpr unsigned short kNtpPort = 123;
constexpr ULONG kFirstGuess = 640;

struct AdapterBuffer {
  void *data = nullptr;
  ~AdapterBuffer() { std::free(data); }
  AdapterBuffer() = default;
  AdapterBuffer(const AdapterBuffer &) = delete;
  AdapterBuffer &operator=(const AdapterBuffer &) = delete;
  bool allocate(ULONG size) {
    std::free(data);
    data = std::malloc(size);
    return data != nullptr;
  }
  IP_ADAPTER_INFO *first() const { return static_cast<IP_ADAPTER_INFO *>(data); }
};

struct Socket {
  SOCKET s;
  explicit Socket(SOCKET from) : s(from) {}
  ~Socket() {
    if (s != INVALID_SOCKET) closesocket(s);
  }
  Socket(const Socket &) = delete;
  Socket &operator=(const Socket &) = delete;
};

// Two calls: the first usually fails for want of room and writes the size
// needed; only the second one's result counts.
bool read_adapters(AdapterBuffer &list) {
  ULONG size = kFirstGuess;
  if (!list.allocate(size)) return false;
  if (GetAdaptersInfo(list.first(), &size) != ERROR_SUCCESS) {
    if (!list.allocate(size)) return false;
  }
  return GetAdaptersInfo(list.first(), &size) == ERROR_SUCCESS;
}

void send_to(SOCKET s, std::uint32_t address, const unsigned char (&packet)[kPacketSize]) {
  sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(kNtpPort);
  to.sin_addr.s_addr = address;
  // A send that fails is not retried: the next cycle comes soon enough.
  sendto(s, reinterpret_cast<const char *>(packet), static_cast<int>(kPacketSize), 0,
         reinterpret_cast<const sockaddr *>(&to), static_cast<int>(sizeof to));
}

}  // namespace

void transmit_cycle() {
  AdapterBuffer list;
  if (!read_adapters(list)) return;

  // One reading for the whole cycle, so every adapter gets the same bytes.
  unsigned char packet[kPacketSize];
  build_packet(read_clock(), packet);

  Socket sock(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  if (sock.s == INVALID_SOCKET) {
    trace(L"Ostrival: Could not create socket.");
    return;
  }
  const int on = 1;
  setsockopt(sock.s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char *>(&on),
             static_cast<int>(sizeof on));

  for (const IP_ADAPTER_INFO *a = list.first(); a != nullptr; a = a->Next) {
    std::uint32_t target;
    if (target_of_record(a->Type, a->IpAddressList.IpAddress.String, a->IpAddressList.IpMask.String,
                         &target))
      send_to(sock.s, target, packet);
  }
}
