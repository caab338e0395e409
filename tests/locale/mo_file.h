#ifndef HALV_TESTS_LOCALE_MO_FILE_H_
#define HALV_TESTS_LOCALE_MO_FILE_H_

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace halv {

// The entries of a little-endian GNU gettext MO file, read independently of Boost.Locale so the
// tests can check what the build embedded.
struct MoFile {
  std::uint32_t magic = 0;
  std::uint32_t revision = 0;
  std::map<std::string, std::string> entries;  // message id -> translation; "" -> header
  std::size_t count = 0;                       // entries in the file, duplicates included
};

inline MoFile ReadMoFile(const std::vector<char>& bytes) {
  const auto word = [&bytes](std::size_t offset) {
    if (offset + 4 > bytes.size()) {
      throw std::out_of_range("MO file shorter than its tables say");
    }
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
      value = value << 8 | static_cast<unsigned char>(bytes[offset + i]);
    }
    return value;
  };
  const auto text = [&bytes, &word](std::uint32_t table, std::uint32_t index) {
    const std::uint32_t length = word(table + index * 8);
    const std::uint32_t offset = word(table + index * 8 + 4);
    if (std::size_t{offset} + length > bytes.size()) {
      throw std::out_of_range("MO string outside the file");
    }
    return std::string(bytes.data() + offset, length);
  };
  MoFile file;
  file.magic = word(0);
  file.revision = word(4);
  file.count = word(8);
  const std::uint32_t originals = word(12);
  const std::uint32_t translations = word(16);
  for (std::uint32_t i = 0; i < file.count; ++i) {
    file.entries[text(originals, i)] = text(translations, i);
  }
  return file;
}

}  // namespace halv

#endif  // HALV_TESTS_LOCALE_MO_FILE_H_
