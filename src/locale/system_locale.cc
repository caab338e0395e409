#include "locale/system_locale.h"

#include <cstdlib>

namespace halv {
namespace {

// Whether name is the C locale, for which gettext ignores LANGUAGE and shows English.
bool IsCLocale(const std::string& name) {
  const std::string base = name.substr(0, name.find_first_of(".@"));
  return base == "C" || base == "POSIX";
}

}  // namespace

std::string SystemLocaleName(const EnvironmentLookup& lookup) {
  std::string name;
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    name = lookup(variable);
    if (!name.empty()) {
      break;
    }
  }
  if (name.empty() || IsCLocale(name)) {
    return WithUtf8Encoding("C");
  }
  const std::string languages = lookup("LANGUAGE");
  std::size_t start = 0;
  while (start < languages.size()) {
    const std::size_t end = languages.find(':', start);
    const std::string first = languages.substr(start, end == std::string::npos ? end : end - start);
    if (!first.empty()) {
      return WithUtf8Encoding(first);
    }
    if (end == std::string::npos) {
      break;
    }
    start = end + 1;
  }
  return WithUtf8Encoding(name);
}

std::string SystemLocaleName() {
  return SystemLocaleName([](const char* variable) {
    const char* value = std::getenv(variable);
    return std::string(value != nullptr ? value : "");
  });
}

std::string WithUtf8Encoding(const std::string& name) {
  const std::size_t variant = name.find('@');
  const std::string head = name.substr(0, variant);
  const std::string tail = variant == std::string::npos ? std::string() : name.substr(variant);
  return head.substr(0, head.find('.')) + ".UTF-8" + tail;
}

}  // namespace halv
