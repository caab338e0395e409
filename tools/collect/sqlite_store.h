#ifndef HALV_TOOLS_COLLECT_SQLITE_STORE_H_
#define HALV_TOOLS_COLLECT_SQLITE_STORE_H_

#include <cstdint>
#include <string>

#include "collect_store.h"

struct sqlite3;

namespace halv::collect {

// The collector's SQLite file: every accepted body with the records read from it, and a count
// of the refused ones. Each body and its records are written in one transaction in
// write-ahead-log mode with full syncing, so a collector killed at any moment leaves the file
// with every acknowledged body and no half of one. Several connections and processes may use
// one file (a report while the collector runs); writers wait for each other for a while.
// Ownership: one object per open connection, not copyable. Threads: one at a time.
class SqliteStore : public Store {
 public:
  // Opens `path`; with CreateIfMissing the file and its tables are created when missing and a
  // file of layout 1 is migrated. Throws DatabaseError when the file cannot be opened or is not
  // a collector database of a known layout.
  SqliteStore(const std::string& path, OpenMode mode);
  ~SqliteStore() override;
  SqliteStore(const SqliteStore&) = delete;
  SqliteStore& operator=(const SqliteStore&) = delete;

  std::int64_t StoreBody(const Post& post, const AnalyticsBody& body) override;
  void StoreRefusal(Refusal refusal, int httpStatus, std::uint64_t length,
                    const std::string& peer) override;
  void Ping() override;
  void Read(const TimeRange& range, ReportSink& sink) override;
  std::int64_t Prune(const std::string& before) override;

  // Copies the whole database, as one consistent moment, into a new file `destination` with
  // SQLite's online backup, while collectors go on writing (the write-ahead log lets them).
  // The copy is written beside `destination`, flushed and then linked into place, so the file
  // appears whole or not at all; an existing `destination` is never replaced. Throws
  // DatabaseError on any failure, leaving nothing behind.
  void Backup(const std::string& destination);

 private:
  void Execute(const char* sql);
  void Migrate(OpenMode mode);

  sqlite3* db_ = nullptr;
  const std::string path_;
};

}  // namespace halv::collect

#endif  // HALV_TOOLS_COLLECT_SQLITE_STORE_H_
