#ifndef HALV_FILE_UTF8_H_
#define HALV_FILE_UTF8_H_

#include <cstddef>
#include <string>

// Well-formed UTF-8, as every name, document and record of this system must be: no stray
// continuation byte, no truncated or overlong sequence, no surrogate, nothing past U+10FFFF.
// Free functions, safe to call from any thread.
namespace halv {

// The length (1 to 4) of the character that starts at `text[position]`, which must be inside
// `text`; 0 when no well-formed character starts there.
std::size_t Utf8SequenceLength(const std::string& text, std::size_t position);

// The offset of the first byte that does not start a well-formed character; std::string::npos
// when every character is well formed.
std::size_t FindInvalidUtf8(const std::string& text);

inline bool IsUtf8(const std::string& text) { return FindInvalidUtf8(text) == std::string::npos; }

}  // namespace halv

#endif  // HALV_FILE_UTF8_H_
