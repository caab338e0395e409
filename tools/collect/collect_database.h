#ifndef HALV_TOOLS_COLLECT_COLLECT_DATABASE_H_
#define HALV_TOOLS_COLLECT_COLLECT_DATABASE_H_

#include <cstdint>
#include <stdexcept>
#include <string>

#include "analytics_body.h"

struct sqlite3;

namespace halv::collect {

// Every failure to open, read or write the database; the message names the file and the cause.
class DatabaseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The collector's SQLite database: every accepted body with the records read from it, and a
// count of the refused ones. Each body and its records are written in one transaction in
// write-ahead-log mode with full syncing, so a collector killed at any moment leaves the
// database with every acknowledged body and no half of one. Several processes may use one file
// (a report while the collector runs); writers wait for each other for a while.
// Ownership: one object per open connection, not copyable. Threads: one at a time.
class CollectDatabase {
 public:
  enum class Open { CreateIfMissing, ExistingOnly };

  // Opens `path`; with CreateIfMissing the file and its tables are created when missing. Throws
  // DatabaseError when the file cannot be opened or is not a collector database of this layout.
  CollectDatabase(const std::string& path, Open open);
  ~CollectDatabase();
  CollectDatabase(const CollectDatabase&) = delete;
  CollectDatabase& operator=(const CollectDatabase&) = delete;

  // Stores `text` and the records of `body` read from it; `peer` is the sender's address.
  // Returns the body's row id. Throws DatabaseError (and stores nothing) on failure.
  std::int64_t StoreBody(const std::string& text, const AnalyticsBody& body,
                         const std::string& peer);

  // Counts one refused post: why, the HTTP status answered and the body's length as far as it
  // is known. Throws DatabaseError on failure.
  void StoreRefusal(Refusal refusal, int httpStatus, std::uint64_t length, const std::string& peer);

  // The publisher's summary as plain text: posts accepted and refused, transfers per package
  // and version, errors by kind, and what every node delivered. Throws DatabaseError.
  std::string Report();

 private:
  void Execute(const char* sql);

  sqlite3* db_ = nullptr;
  const std::string path_;
};

}  // namespace halv::collect

#endif  // HALV_TOOLS_COLLECT_COLLECT_DATABASE_H_
