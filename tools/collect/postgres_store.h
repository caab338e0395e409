#ifndef HALV_TOOLS_COLLECT_POSTGRES_STORE_H_
#define HALV_TOOLS_COLLECT_POSTGRES_STORE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "collect_store.h"

struct pg_conn;

namespace halv::collect {

// The collector's PostgreSQL database: the same tables and meaning as the SQLite file, for
// several collectors at once. Each post is one transaction; the layout is created or migrated
// at open under a session advisory lock, so collectors starting together migrate one at a time.
// A connection that broke is re-established before the next post.
// Ownership: one object per connection, not copyable. Threads: one at a time.
class PostgresStore : public Store {
 public:
  // Connects with libpq to `uri` (which must not carry a password: libpq reads ~/.pgpass or
  // PGPASSFILE). Throws DatabaseError naming the URI without any password.
  PostgresStore(const std::string& uri, OpenMode mode);
  ~PostgresStore() override;
  PostgresStore(const PostgresStore&) = delete;
  PostgresStore& operator=(const PostgresStore&) = delete;

  std::int64_t StoreBody(const Post& post, const AnalyticsBody& body) override;
  void StoreRefusal(Refusal refusal, int httpStatus, std::uint64_t length,
                    const std::string& peer) override;
  void Ping() override;
  void Read(const TimeRange& range, ReportSink& sink) override;
  std::int64_t Prune(const std::string& before) override;

 private:
  class Result;
  class Transaction;
  // Runs `sql` with text parameters (a null pointer is SQL NULL; `binary` marks bytea ones).
  Result Run(const char* sql, const std::vector<const std::string*>& params = {},
             const std::vector<bool>& binary = {});
  void Reconnect();
  void Migrate(OpenMode mode);

  pg_conn* conn_ = nullptr;
  const std::string name_;  // the URI without its password
};

}  // namespace halv::collect

#endif  // HALV_TOOLS_COLLECT_POSTGRES_STORE_H_
