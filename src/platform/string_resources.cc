#include "platform/string_resources.h"

#include <cstring>

extern "C" const char halv_resource_table[];

namespace halv {

StringResourceTable StringResourceTable::FromText(std::string_view text) {
  text = text.substr(0, text.find('\0'));
  StringResourceTable table;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    const std::size_t equals = line.find('=');
    if (equals == 0 || equals == std::string_view::npos) continue;
    int id = 0;
    bool numeric = true;
    for (char c : line.substr(0, equals)) {
      if (c < '0' || c > '9' || id > 100000) {
        numeric = false;
        break;
      }
      id = id * 10 + (c - '0');
    }
    if (numeric) table.values_[id] = std::string(line.substr(equals + 1));
  }
  return table;
}

StringResourceTable StringResourceTable::Embedded() {
  // The section's bytes change after linking (rebranding), so the compiler must not assume it
  // knows them: hide the pointer's origin.
  const char* table = halv_resource_table;
  asm volatile("" : "+r"(table));
  return FromText(std::string_view(table, strnlen(table, kCapacity)));
}

std::string StringResourceTable::Load(int id) const {
  const auto found = values_.find(id);
  if (found == values_.end()) return std::string();
  const std::string& value = found->second;
  std::size_t characters = 0;
  for (std::size_t i = 0; i < value.size(); ++i) {
    // Count lead bytes only, so a cut never splits a multi-byte character.
    if ((static_cast<unsigned char>(value[i]) & 0xC0) != 0x80 && ++characters > kMaxCharacters) {
      return value.substr(0, i);
    }
  }
  return value;
}

}  // namespace halv
