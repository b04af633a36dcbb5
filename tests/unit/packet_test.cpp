// Which clock is read, and the conversion and the packet layout, byte for byte, at the readings
// that matter.
#include "broadcast/packet.h"

#include "broadcast/clock.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

// 100 ns units per millisecond and per second.
constexpr std::uint64_t kMs = 10000;
constexpr std::uint64_t kSec = 1000 * kMs;
// 1601-01-01 to 1900-01-01 is 109 207 days.
constexpr std::uint64_t k1900 = 109207ull * 86400 * kSec;
// NTP era 1 begins 2^32 s after 1900: 2036-02-07 06:28:16 UTC.
constexpr std::uint64_t kEra1 = k1900 + (1ull << 32) * kSec;

struct Vector {
  const char *what;
  std::uint64_t clock;
  std::uint32_t seconds, fraction;
};

TEST(ClockToNtp, Vectors) {
  const Vector vectors[] = {
      {"1900-01-01 00:00:00.000", 94354848000000000ull, 0, 0},
      // The seconds are 3 689 909 441 and the remainder 123 ms, times 4 299 266.
      {"2016-12-05 06:50:41.1234567", 131253942411234567ull, 0xDBEF8CC1u, 0x1F84FEF6u},
      // 2 208 988 800 s from 1900 (RFC 868, RFC 5905).
      {"1970-01-01 00:00:00.000", 116444736000000000ull, 2208988800u, 0},
      {"999 ms still fits", k1900 + 5 * kSec + 999 * kMs, 5, 0xFFFFFDCEu},
      {"sub-millisecond digits dropped", 131253942411239999ull, 0xDBEF8CC1u, 0x1F84FEF6u},
      {"last millisecond of era 0", kEra1 - kMs, 0xFFFFFFFFu, 0xFFFFFDCEu},
      {"2036-02-07 06:28:16.000 wraps", kEra1, 0, 0},
      {"one second into era 1", kEra1 + kSec + 123 * kMs, 1, 0x1F84FEF6u},
  };
  for (const Vector &v : vectors) {
    const NtpTimestamp t = clock_to_ntp(v.clock);
    EXPECT_EQ(t.seconds, v.seconds) << v.what;
    EXPECT_EQ(t.fraction, v.fraction) << v.what;
  }
}

TEST(BuildPacket, ExactBytes) {
  unsigned char p[kPacketSize];
  for (unsigned char &b : p) b = 0xAA;  // whatever the caller's buffer held before
  build_packet(131253942411234567ull, p);
  // One row per field, as in the packet diagram.
  // clang-format off
  const unsigned char expected[kPacketSize] = {
      0x1D, 0x0F, 0x07, 0x00,                          // LI 0, VN 3, mode 5; stratum; poll; precision
      0, 0, 0, 0, 0, 0, 0, 0,                          // root delay, root dispersion
      'L', 'O', 'C', 'L',                              // reference identifier
      0xDB, 0xEF, 0x8C, 0xC1, 0x1F, 0x84, 0xFE, 0xF6,  // reference timestamp
      0, 0, 0, 0, 0, 0, 0, 0,                          // originate timestamp
      0, 0, 0, 0, 0, 0, 0, 0,                          // receive timestamp
      0xDB, 0xEF, 0x8C, 0xC1, 0x1F, 0x84, 0xFE, 0xF6,  // transmit timestamp
  };
  // clang-format on
  for (std::size_t i = 0; i < kPacketSize; ++i) EXPECT_EQ(p[i], expected[i]) << "offset " << i;
}

// Windows 7 has no precise reader: the lookup finds nothing, and the coarse clock is read.
TEST(ChooseClock, CoarseWhereThePreciseIsMissing) {
  EXPECT_EQ(choose_clock(nullptr), &GetSystemTimeAsFileTime);
  const FARPROC precise =
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetSystemTimePreciseAsFileTime");
  ASSERT_NE(precise, nullptr);
  EXPECT_EQ(reinterpret_cast<void (*)()>(choose_clock(precise)),
            reinterpret_cast<void (*)()>(precise));
}

}  // namespace
