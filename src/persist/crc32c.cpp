#include "persist/crc32c.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <stdexcept>
#include <vector>

namespace zelt {

namespace {

constexpr std::uint32_t kPolynomial = 0x82F63B78u;  // reflected

// Eight tables: table[j][b] is the register after byte b followed by j zero
// bytes, so eight bytes take eight lookups and no dependent shifts.
using Tables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr Tables make_tables() {
  Tables t{};
  for (std::uint32_t b = 0; b < 256; ++b) {
    std::uint32_t r = b;
    for (int bit = 0; bit < 8; ++bit) r = (r & 1u) != 0 ? (r >> 1) ^ kPolynomial : r >> 1;
    t[0][b] = r;
  }
  for (std::size_t j = 1; j < 8; ++j) {
    for (std::size_t b = 0; b < 256; ++b) t[j][b] = (t[j - 1][b] >> 8) ^ t[0][t[j - 1][b] & 0xFFu];
  }
  return t;
}

constexpr Tables kTables = make_tables();

std::uint64_t load64(const unsigned char* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

#if defined(ZELT_CRC32C_HARDWARE)
bool hardware_runs() {
  static const bool runs = __builtin_cpu_supports("sse4.2");
  return runs;
}
#endif

}  // namespace

std::uint32_t crc32c_extend_portable(std::uint32_t crc, const void* data, std::size_t bytes) {
  const auto* p = static_cast<const unsigned char*>(data);
  std::uint32_t r = ~crc;
  for (; bytes >= 8; bytes -= 8, p += 8) {
    const std::uint64_t v = load64(p) ^ r;
    r = kTables[7][v & 0xFF] ^ kTables[6][(v >> 8) & 0xFF] ^ kTables[5][(v >> 16) & 0xFF] ^
        kTables[4][(v >> 24) & 0xFF] ^ kTables[3][(v >> 32) & 0xFF] ^
        kTables[2][(v >> 40) & 0xFF] ^ kTables[1][(v >> 48) & 0xFF] ^ kTables[0][v >> 56];
  }
  for (; bytes > 0; --bytes, ++p) r = (r >> 8) ^ kTables[0][(r ^ *p) & 0xFF];
  return ~r;
}

bool crc32c_hardware_usable() {
#if defined(ZELT_CRC32C_HARDWARE)
  return hardware_runs();
#else
  return false;
#endif
}

std::uint32_t crc32c_extend(std::uint32_t crc, const void* data, std::size_t bytes) {
#if defined(ZELT_CRC32C_HARDWARE)
  if (hardware_runs()) return crc32c_extend_hardware(crc, data, bytes);
#endif
  return crc32c_extend_portable(crc, data, bytes);
}

std::uint32_t file_crc32c(const std::string& filename) {
  if (filename.find('\0') != std::string::npos) {
    throw std::runtime_error("Cannot open file for loading: " + filename);
  }
  const int fd = ::open(filename.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("Cannot open file for loading: " + filename);
  std::vector<char> buffer(std::size_t(1) << 20);
  std::uint32_t crc = 0;
  for (;;) {
    const ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      ::close(fd);
      throw std::runtime_error("Cannot load index file: " + filename + ": reading failed");
    }
    if (got == 0) break;
    crc = crc32c_extend(crc, buffer.data(), std::size_t(got));
  }
  ::close(fd);
  return crc;
}

}  // namespace zelt
