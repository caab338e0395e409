#ifndef HALV_MANIFEST_DECIMAL_TEXT_H_
#define HALV_MANIFEST_DECIMAL_TEXT_H_

#include <cstdint>
#include <optional>
#include <string>

// Conversions of the numbers in manifest documents. A number may carry white space around it
// and an optional minus sign, nothing else (a plus sign fails); a minus sign on an unsigned number
// and a value out of range fail instead of wrapping. Free functions, safe from any thread.
namespace halv {

std::optional<std::uint64_t> ParseDecimalUnsigned(const std::string& text, std::uint64_t max);

std::optional<std::int64_t> ParseDecimalSigned(const std::string& text, std::int64_t min,
                                               std::int64_t max);

}  // namespace halv

#endif  // HALV_MANIFEST_DECIMAL_TEXT_H_
