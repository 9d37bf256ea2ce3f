#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zelt {

// CRC-32C (the Castagnoli polynomial, reflected, initial value and final xor
// all ones: "123456789" gives 0xE3069283). It ties a file to a record of it
// kept elsewhere at the cost of one more look at bytes that are in the cache
// already, where a cryptographic digest would cost a second pass over them.
//
// Extends the checksum `crc` of some bytes by the next `bytes` ones, so that
// a stream checked in pieces gets the checksum of the whole; start from 0.
std::uint32_t crc32c_extend(std::uint32_t crc, const void* data, std::size_t bytes);

// The checksum of a whole file; "Cannot open file for loading: <name>" or
// "Cannot load index file: <name>: reading failed" as std::runtime_error.
std::uint32_t file_crc32c(const std::string& filename);

// The two ways of computing it, for tests to hold one against the other. The
// processor's instruction needs SSE 4.2 (crc32c_hardware_usable()).
std::uint32_t crc32c_extend_portable(std::uint32_t crc, const void* data, std::size_t bytes);
std::uint32_t crc32c_extend_hardware(std::uint32_t crc, const void* data, std::size_t bytes);
bool crc32c_hardware_usable();

}  // namespace zelt
