#include "file/utf8.h"

#include <cstdint>

namespace halv {

std::size_t Utf8SequenceLength(const std::string& text, std::size_t position) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(position);
  if (lead < 0x80) return 1;
  std::size_t length;
  std::uint32_t value;
  // 0xc0, 0xc1 and 0xf5 onwards can only start overlong forms or values past U+10FFFF.
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
    value = lead & 0x1f;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    value = lead & 0x0f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    value = lead & 0x07;
  } else {
    return 0;
  }
  if (text.size() - position < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(position + i) & 0xc0) != 0x80) return 0;
    value = (value << 6) | (byte(position + i) & 0x3f);
  }
  const bool overlong = (length == 3 && value < 0x800) || (length == 4 && value < 0x10000);
  const bool surrogate = value >= 0xd800 && value <= 0xdfff;
  return overlong || surrogate || value > 0x10ffff ? 0 : length;
}

std::size_t FindInvalidUtf8(const std::string& text) {
  for (std::size_t position = 0; position < text.size();) {
    const std::size_t length = Utf8SequenceLength(text, position);
    if (length == 0) return position;
    position += length;
  }
  return std::string::npos;
}

}  // namespace halv
