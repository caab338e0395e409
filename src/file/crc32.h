#ifndef HALV_FILE_CRC32_H_
#define HALV_FILE_CRC32_H_

#include <cstddef>
#include <cstdint>

namespace halv {

// The IEEE 802.3 CRC-32 (zlib's crc32) of `size` bytes at `data`, continuing from `previous`,
// the CRC of the bytes that came before: Crc32(b, nb, Crc32(a, na)) is the CRC of a followed by
// b, and Crc32(nullptr, 0) is 0. This one routine checks every chunk and publishes every
// checksum, so it uses the carry-less-multiply implementation (several GB/s per core) rather than
// a table-driven one. Stateless; safe to call from any thread.
std::uint32_t Crc32(const void* data, std::size_t size, std::uint32_t previous = 0);

}  // namespace halv

#endif  // HALV_FILE_CRC32_H_
