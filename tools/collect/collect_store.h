#ifndef HALV_TOOLS_COLLECT_COLLECT_STORE_H_
#define HALV_TOOLS_COLLECT_COLLECT_STORE_H_

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "analytics_body.h"

// Where the collector keeps what it accepts: one interface, an SQLite file (the default) or a
// PostgreSQL database. Both keep the same records with the same meaning; every report is made
// in C++ from the rows either one hands back, so the same posts give the same report.
namespace halv::collect {

// Every failure to open, read or write a store; the message names the store (a PostgreSQL URI
// without its password) and the cause.
class DatabaseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The layout both stores are at once opened: SQLite files of layout 1 (before the version
// table, the user agent and the time index) are brought to it in place.
constexpr int kStoreLayout = 2;

// One accepted post as it came.
struct Post {
  std::string text;       // the raw body
  std::string peer;       // the sender's address
  std::string userAgent;  // the request's User-Agent, empty when none
};

// Received times are compared as "YYYY-MM-DDTHH:MM:SS.mmmZ" (UTC); an empty bound is open.
struct TimeRange {
  std::string since;  // inclusive
  std::string until;  // exclusive
};

// The rows a report is made from, handed over one at a time in a fixed order (records in the
// order their bodies were stored). Numbers are as stored; sums are the report's business.
class ReportSink {
 public:
  virtual ~ReportSink() = default;
  virtual void Shape(const std::string& shape, std::int64_t posts) = 0;
  virtual void Refused(const std::string& reason, std::int64_t posts) = 0;
  virtual void Agent(const std::string& userAgent, std::int64_t posts) = 0;
  virtual void Transfer(const PackageKey& key, const std::string& transfer,
                        const std::string& status, std::int64_t bytes, double seconds) = 0;
  // `error` is null for a counter without error text.
  virtual void Event(const PackageKey& key, const std::string& counter, std::int64_t count,
                     const std::string* error) = 0;
  virtual void Node(const std::string& cdn, std::int64_t bytes, double seconds) = 0;
};

// One open connection to a store. Threads: one at a time per object; several objects (in one
// process or several) may use one store at once.
class Store {
 public:
  virtual ~Store() = default;

  // Stores the post and the records of `body` read from it in one transaction; answers the
  // body's id. Throws DatabaseError (and stores nothing) on failure.
  virtual std::int64_t StoreBody(const Post& post, const AnalyticsBody& body) = 0;

  // Counts one refused post: why, the HTTP status answered, the body's length as far as known.
  virtual void StoreRefusal(Refusal refusal, int httpStatus, std::uint64_t length,
                            const std::string& peer) = 0;

  // Throws DatabaseError unless the store answers a trivial query.
  virtual void Ping() = 0;

  // Hands every row received within `range` to `sink`, all from one consistent view.
  virtual void Read(const TimeRange& range, ReportSink& sink) = 0;

  // Removes every body (with its records) and refusal received before `before`; answers how
  // many bodies went.
  virtual std::int64_t Prune(const std::string& before) = 0;
};

enum class OpenMode { CreateIfMissing, ExistingOnly };

// Opens `where`: a "postgresql://" or "postgres://" URI opens PostgreSQL, anything else is an
// SQLite file. The layout is created or migrated first (CreateIfMissing; ExistingOnly refuses a
// missing SQLite file and migrates nothing). Throws DatabaseError; a URI that carries a password
// is refused (passwords belong in ~/.pgpass or the file PGPASSFILE names).
std::unique_ptr<Store> OpenStore(const std::string& where, OpenMode mode);

// True for the URIs OpenStore takes for PostgreSQL.
bool IsPostgresUri(const std::string& where);

// `where` as it may be printed: a URI's password, if any, replaced by "***".
std::string RedactedStoreName(const std::string& where);

}  // namespace halv::collect

#endif  // HALV_TOOLS_COLLECT_COLLECT_STORE_H_
