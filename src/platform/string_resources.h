#ifndef HALV_PLATFORM_STRING_RESOURCES_H_
#define HALV_PLATFORM_STRING_RESOURCES_H_

#include <map>
#include <string>
#include <string_view>

namespace halv {

// The per-build string resources (ids 102 to 133) of an executable. On Linux they live as
// "id=value" lines in the ELF section ".halv_resources", which tools/halvane-rebrand rewrites in
// a built binary, so one build becomes another product's downloader without recompiling.
// Thread-safety: immutable after construction; any thread may read.
class StringResourceTable {
 public:
  // Capacity of the embedded section in bytes; the text is NUL-padded to it.
  static constexpr std::size_t kCapacity = 16384;
  // A resource holds at most this many characters, like the 255-unit buffer it is read with.
  static constexpr std::size_t kMaxCharacters = 254;

  // Parses "id=value" lines; blank lines and lines starting with '#' are skipped, as are lines
  // whose key is not a number. The value is everything after the first '='. Text after the
  // first NUL byte is ignored.
  static StringResourceTable FromText(std::string_view text);

  // The table embedded in the running executable.
  static StringResourceTable Embedded();

  // The resource's value, or empty when it is missing; cut to kMaxCharacters UTF-8 characters.
  std::string Load(int id) const;

 private:
  std::map<int, std::string> values_;
};

}  // namespace halv

#endif  // HALV_PLATFORM_STRING_RESOURCES_H_
