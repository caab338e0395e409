#include "file/crc32.h"

#include <isa-l/crc.h>

namespace halv {

std::uint32_t Crc32(const void* data, std::size_t size, std::uint32_t previous) {
  if (size == 0) return previous;
  // crc32_gzip_refl inverts on entry and exit like zlib, so its result chains directly.
  return crc32_gzip_refl(previous, static_cast<const unsigned char*>(data), size);
}

}  // namespace halv
