#ifndef HALV_LOCALE_MESSAGE_CATALOG_H_
#define HALV_LOCALE_MESSAGE_CATALOG_H_

#include <string>
#include <vector>

namespace halv {

// The source of the gettext catalog files a locale reads its translations from. Boost.Locale
// asks for files by path; an implementation may keep them anywhere.
// Thread-safety: implementations are immutable after construction; any thread may call.
// Ownership: the entry owns the catalog and destroys the locales that use it first.
class MessageCatalog {
 public:
  virtual ~MessageCatalog() = default;

  // The path prefix of the catalog file names.
  virtual std::string GetRoot() const = 0;
  // The gettext domain, the base name of the catalog files.
  virtual std::string GetDomain() const = 0;
  // The content of the catalog file at path, or an empty vector when there is none; a failure
  // to read counts as none, so that the next candidate path is tried. This is the file callback
  // Boost.Locale calls; an implementation may ignore the encoding.
  virtual std::vector<char> Load(const std::string& path, const std::string& encoding) const = 0;
};

}  // namespace halv

#endif  // HALV_LOCALE_MESSAGE_CATALOG_H_
