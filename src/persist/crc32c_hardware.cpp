// Built with SSE 4.2 enabled for this file alone; called only where the
// processor reports it (crc32c.cpp).
#include <nmmintrin.h>

#include <cstring>

#include "persist/crc32c.h"

namespace zelt {

namespace {

constexpr std::uint32_t kPolynomial = 0x82F63B78u;  // reflected
// The instruction takes three cycles and can start one every cycle, so three
// lanes of this many bytes run side by side and are joined afterwards.
constexpr std::size_t kLane = 8192;

// a · b modulo the polynomial, bit 31 holding the coefficient of x^0.
constexpr std::uint32_t multiply(std::uint32_t a, std::uint32_t b) {
  std::uint32_t product = 0;
  for (std::uint32_t m = 1u << 31; m != 0; m >>= 1) {
    if ((a & m) != 0) product ^= b;
    b = (b & 1u) != 0 ? (b >> 1) ^ kPolynomial : b >> 1;
  }
  return product;
}

// x^(8 · bytes): what running the register over that many zero bytes multiplies it by.
constexpr std::uint32_t zero_bytes(std::size_t bytes) {
  std::uint32_t result = 1u << 31;
  std::uint32_t power = 1u << 30;  // x
  for (std::size_t e = 8 * bytes; e != 0; e >>= 1) {
    if ((e & 1) != 0) result = multiply(result, power);
    power = multiply(power, power);
  }
  return result;
}

constexpr std::uint32_t kOneLane = zero_bytes(kLane);
constexpr std::uint32_t kTwoLanes = zero_bytes(2 * kLane);

std::uint64_t word(const unsigned char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

}  // namespace

std::uint32_t crc32c_extend_hardware(std::uint32_t crc, const void* data, std::size_t bytes) {
  const auto* p = static_cast<const unsigned char*>(data);
  std::uint64_t r = ~crc;
  // The register is linear in its start and the data: a lane run from 0
  // contributes its own register, and one run before it that register
  // carried over the later lanes' length in zero bytes.
  for (; bytes >= 3 * kLane; bytes -= 3 * kLane, p += 3 * kLane) {
    std::uint64_t a = r, b = 0, c = 0;
    for (std::size_t i = 0; i < kLane; i += 8) {
      a = _mm_crc32_u64(a, word(p + i));
      b = _mm_crc32_u64(b, word(p + kLane + i));
      c = _mm_crc32_u64(c, word(p + 2 * kLane + i));
    }
    r = multiply(kTwoLanes, std::uint32_t(a)) ^ multiply(kOneLane, std::uint32_t(b)) ^
        std::uint32_t(c);
  }
  for (; bytes >= 8; bytes -= 8, p += 8) r = _mm_crc32_u64(r, word(p));
  auto low = std::uint32_t(r);
  for (; bytes > 0; --bytes, ++p) low = _mm_crc32_u8(low, *p);
  return ~low;
}

}  // namespace zelt
