#ifndef HALV_LOCALE_SYSTEM_LOCALE_H_
#define HALV_LOCALE_SYSTEM_LOCALE_H_

#include <functional>
#include <string>

namespace halv {

// Reads one environment variable; empty when it is unset.
using EnvironmentLookup = std::function<std::string(const char* name)>;

// The locale name for the user's language as Linux programs find it: the first non-empty of
// LC_ALL, LC_MESSAGES and LANG; if that is a real locale (not "C", "POSIX" or "C.<encoding>"),
// the first entry of the colon-separated LANGUAGE list takes precedence, as gettext does.
// "C.UTF-8" (English) when nothing is set. The result always names UTF-8 (WithUtf8Encoding).
std::string SystemLocaleName(const EnvironmentLookup& lookup);
// The same from the process's environment.
std::string SystemLocaleName();

// name with ".UTF-8" as its encoding, put before any "@variant" and replacing any other
// encoding: the program's texts are UTF-8 throughout, and Boost.Locale needs an encoding to
// convert the catalogs at all ("de" becomes "de.UTF-8", "de_DE.ISO-8859-1" "de_DE.UTF-8",
// "sr_RS@latin" "sr_RS.UTF-8@latin").
std::string WithUtf8Encoding(const std::string& name);

}  // namespace halv

#endif  // HALV_LOCALE_SYSTEM_LOCALE_H_
