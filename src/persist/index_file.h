#pragma once

#include <cstdint>
#include <string>

#include "index/store/index_state.h"
#include "persist/saved_file.h"

namespace zelt {

// The index file: a 28-byte little-endian header (dimension, curvature, M,
// entry point id, entry point layer as 4 bytes each, the node count as 8),
// every vector followed by its stored norm, every mask, then every node's
// level and its link lists for layers 0 … level, each an 8-byte count and
// the ids. No magic, version or checksum.

// Writes the whole file into `out`, which the caller then commits.
void write_index(const IndexState& s, SavedFile& out);
// Opens, writes and commits in one call.
void write_index_file(const IndexState& s, const std::string& filename);

// Reads and validates a file into a fresh state of the given metric; the
// generator is left default. Anything that would leave an inconsistent index
// (a short file, counts the file cannot hold, ids or levels out of range, an
// entry point that is not a node of the stated level) raises
// std::runtime_error naming the file and the fault. A non-null `checksum`
// receives the CRC-32C of the whole file (crc32c.h), taken in the same pass.
IndexState read_index_file(const std::string& filename, MetricKind metric,
                           std::uint32_t* checksum = nullptr);

}  // namespace zelt
