#include "collect_store.h"

#include "postgres_store.h"
#include "sqlite_store.h"

namespace halv::collect {

bool IsPostgresUri(const std::string& where) {
  return where.rfind("postgresql://", 0) == 0 || where.rfind("postgres://", 0) == 0;
}

std::string RedactedStoreName(const std::string& where) {
  if (!IsPostgresUri(where)) return where;
  std::string out = where;
  const std::size_t start = out.find("://") + 3;
  const std::size_t end = std::min(out.find_first_of("/?", start), out.size());
  const std::size_t at = out.rfind('@', end);
  if (at != std::string::npos && at >= start) {
    const std::size_t colon = out.find(':', start);
    if (colon < at) out.replace(colon + 1, at - colon - 1, "***");
  }
  // "password=" may also come as a query parameter.
  for (std::size_t pos = out.find('?'); pos != std::string::npos && pos < out.size();) {
    const std::size_t name = pos + 1;
    const std::size_t next = out.find('&', name);
    const std::size_t stop = next == std::string::npos ? out.size() : next;
    if (out.compare(name, 9, "password=") == 0 && stop > name + 9) {
      out.replace(name + 9, stop - name - 9, "***");
    }
    pos = out.find('&', name);
  }
  return out;
}

std::unique_ptr<Store> OpenStore(const std::string& where, OpenMode mode) {
  if (IsPostgresUri(where)) return std::make_unique<PostgresStore>(where, mode);
  return std::make_unique<SqliteStore>(where, mode);
}

}  // namespace halv::collect
