#include "sqlite_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace halv::collect {
namespace {

constexpr int kBusyTimeoutMs = 10000;

// Received times are UTC with milliseconds, sortable as text.
#define HALV_NOW "(strftime('%Y-%m-%dT%H:%M:%fZ', 'now'))"

// Layout 1, as the first collectors made it; a new file gets it and then the same migration
// an old file gets, so there is one way to reach the current layout.
const char kLayout1[] =
    "CREATE TABLE bodies ("
    "  id INTEGER PRIMARY KEY,"
    "  received TEXT NOT NULL DEFAULT " HALV_NOW
    ","
    "  peer TEXT NOT NULL,"
    "  shape TEXT NOT NULL,"
    "  body BLOB NOT NULL);"
    "CREATE TABLE transfers ("
    "  id INTEGER PRIMARY KEY,"
    "  body_id INTEGER NOT NULL REFERENCES bodies(id),"
    "  partner TEXT NOT NULL, package TEXT NOT NULL, version TEXT NOT NULL,"
    "  transfer TEXT NOT NULL,"
    "  status TEXT NOT NULL,"
    "  bytes INTEGER NOT NULL,"
    "  duration REAL NOT NULL);"
    "CREATE TABLE events ("
    "  id INTEGER PRIMARY KEY,"
    "  body_id INTEGER NOT NULL REFERENCES bodies(id),"
    "  position INTEGER NOT NULL,"
    "  partner TEXT NOT NULL, package TEXT NOT NULL, version TEXT NOT NULL,"
    "  counter TEXT NOT NULL,"
    "  count INTEGER NOT NULL,"
    "  error TEXT);"
    "CREATE TABLE nodes ("
    "  id INTEGER PRIMARY KEY,"
    "  body_id INTEGER NOT NULL REFERENCES bodies(id),"
    "  position INTEGER NOT NULL,"
    "  partner TEXT NOT NULL, package TEXT NOT NULL, version TEXT NOT NULL,"
    "  cdn TEXT NOT NULL,"
    "  bytes INTEGER NOT NULL,"
    "  request_time REAL NOT NULL);"
    "CREATE TABLE refusals ("
    "  id INTEGER PRIMARY KEY,"
    "  received TEXT NOT NULL DEFAULT " HALV_NOW
    ","
    "  peer TEXT NOT NULL,"
    "  reason TEXT NOT NULL,"
    "  http_status INTEGER NOT NULL,"
    "  length INTEGER NOT NULL);";

// Layout 1 to 2: the sender's User-Agent, the version table, and indexes for time ranges and
// for finding a body's records when it is pruned.
const char kLayout1To2[] =
    "ALTER TABLE bodies ADD COLUMN user_agent TEXT NOT NULL DEFAULT '';"
    "CREATE INDEX bodies_received ON bodies(received);"
    "CREATE INDEX refusals_received ON refusals(received);"
    "CREATE INDEX transfers_body ON transfers(body_id);"
    "CREATE INDEX events_body ON events(body_id);"
    "CREATE INDEX nodes_body ON nodes(body_id);"
    "CREATE TABLE schema_version (version INTEGER NOT NULL);"
    "INSERT INTO schema_version VALUES (2);"
    "PRAGMA user_version=2;";

// Rows of bodies received within ?1 (inclusive) and ?2 (exclusive); an empty bound is open.
#define HALV_IN_RANGE(table) \
  "(?1 = '' OR " table ".received >= ?1) AND (?2 = '' OR " table ".received < ?2)"

// One prepared statement, finalized when it goes.
class Statement {
 public:
  Statement(sqlite3* db, const std::string& path, const char* sql) : db_(db), path_(path) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) Fail("prepare");
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int index, const std::string& text) {
    Check(sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                            SQLITE_TRANSIENT));
    return *this;
  }
  Statement& BindBlob(int index, const std::string& bytes) {
    Check(sqlite3_bind_blob(stmt_, index, bytes.data(), static_cast<int>(bytes.size()),
                            SQLITE_TRANSIENT));
    return *this;
  }
  Statement& Bind(int index, std::int64_t number) {
    Check(sqlite3_bind_int64(stmt_, index, number));
    return *this;
  }
  Statement& Bind(int index, double number) {
    Check(sqlite3_bind_double(stmt_, index, number));
    return *this;
  }
  Statement& BindNull(int index) {
    Check(sqlite3_bind_null(stmt_, index));
    return *this;
  }
  Statement& BindRange(const TimeRange& range) { return Bind(1, range.since).Bind(2, range.until); }

  // True while a row is ready.
  bool Step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) Fail("step");
    return false;
  }
  void Run() {
    Step();
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }

  bool IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
  // Whatever a column holds as text (stored data is read, never judged: a report of an old or
  // hand-edited file must not fail).
  std::string Text(int column) const {
    const auto* text = sqlite3_column_blob(stmt_, column);
    return text ? std::string(static_cast<const char*>(text),
                              static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
                : std::string();
  }
  std::int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }
  double Real(int column) const { return sqlite3_column_double(stmt_, column); }

 private:
  void Check(int rc) {
    if (rc != SQLITE_OK) Fail("bind");
  }
  [[noreturn]] void Fail(const char* what) {
    throw DatabaseError(path_ + ": " + what + ": " + sqlite3_errmsg(db_));
  }

  sqlite3* const db_;
  const std::string& path_;
  sqlite3_stmt* stmt_ = nullptr;
};

// Rolls back an open transaction unless it was committed.
class Transaction {
 public:
  explicit Transaction(sqlite3* db) : db_(db) {}
  ~Transaction() {
    if (!committed_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  void Committed() { committed_ = true; }

 private:
  sqlite3* const db_;
  bool committed_ = false;
};

}  // namespace

SqliteStore::SqliteStore(const std::string& path, OpenMode mode) : path_(path) {
  const int flags =
      SQLITE_OPEN_READWRITE | (mode == OpenMode::CreateIfMissing ? SQLITE_OPEN_CREATE : 0);
  if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    const std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    throw DatabaseError(path + ": cannot open: " + message);
  }
  try {
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    sqlite3_extended_result_codes(db_, 1);
    // The write-ahead log keeps readers (a report) and the collector out of each other's way;
    // full syncing makes an acknowledged body survive a crash of the machine, not only of the
    // collector.
    Execute("PRAGMA journal_mode=WAL");
    Execute("PRAGMA synchronous=FULL");
    Execute("PRAGMA foreign_keys=ON");
    Migrate(mode);
  } catch (...) {
    sqlite3_close(db_);
    throw;
  }
}

SqliteStore::~SqliteStore() { sqlite3_close(db_); }

void SqliteStore::Backup(const std::string& destination) {
  const auto fail = [&](const std::string& what) {
    throw DatabaseError(destination + ": " + what);
  };
  if (::access(destination.c_str(), F_OK) == 0) fail("exists already; no backup replaces a file");
  const std::string partial = destination + ".partial-" + std::to_string(::getpid());
  ::unlink(partial.c_str());
  sqlite3* copy = nullptr;
  const auto drop = [&] {
    sqlite3_close(copy);
    copy = nullptr;
    ::unlink(partial.c_str());
  };
  if (sqlite3_open_v2(partial.c_str(), &copy, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                      nullptr) != SQLITE_OK) {
    const std::string message = copy ? sqlite3_errmsg(copy) : "out of memory";
    drop();
    fail("cannot create " + partial + ": " + message);
  }
  sqlite3_backup* backup = sqlite3_backup_init(copy, "main", db_, "main");
  if (backup == nullptr) {
    const std::string message = sqlite3_errmsg(copy);
    drop();
    fail("cannot start the backup: " + message);
  }
  // All pages in one step, under one read transaction: one consistent moment. Writers in WAL
  // mode are not held up; a busy source (a checkpoint, a migration) is waited for.
  int rc;
  while ((rc = sqlite3_backup_step(backup, -1)) == SQLITE_OK || rc == SQLITE_BUSY ||
         rc == SQLITE_LOCKED) {
    sqlite3_sleep(20);
  }
  sqlite3_backup_finish(backup);
  // The copy is one self-contained file: no write-ahead log beside it.
  if (rc != SQLITE_DONE ||
      sqlite3_exec(copy, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr) != SQLITE_OK) {
    const std::string message = sqlite3_errmsg(copy);
    drop();
    fail("backup failed: " + message);
  }
  sqlite3_close(copy);
  copy = nullptr;
  // Flushed before it gets its name, and the folder after, so a crash leaves no half backup.
  const int fd = ::open(partial.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || ::fsync(fd) != 0) {
    const std::string message = std::strerror(errno);
    if (fd >= 0) ::close(fd);
    drop();
    fail("cannot flush the backup: " + message);
  }
  ::close(fd);
  // link() refuses an existing name, where rename() would replace it.
  if (::link(partial.c_str(), destination.c_str()) != 0) {
    const std::string message = std::strerror(errno);
    drop();
    fail("cannot name the backup: " + message);
  }
  ::unlink(partial.c_str());
  const std::size_t slash = destination.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : destination.substr(0, slash + 1);
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
}

void SqliteStore::Migrate(OpenMode mode) {
  // One writer at a time: collectors starting together migrate one after the other, and the
  // later ones find the work done.
  Execute("BEGIN IMMEDIATE");
  Transaction transaction(db_);
  Statement version(db_, path_, "PRAGMA user_version");
  version.Step();
  std::int64_t layout = version.Int(0);
  Statement tables(db_, path_, "SELECT count(*) FROM sqlite_master");
  tables.Step();
  const bool empty = layout == 0 && tables.Int(0) == 0;
  if (empty && mode == OpenMode::ExistingOnly) throw DatabaseError(path_ + ": no collector tables");
  if (!empty && (layout < 1 || layout > kStoreLayout)) {
    throw DatabaseError(path_ + ": not a collector database of layout 1 to " +
                        std::to_string(kStoreLayout));
  }
  if (layout < kStoreLayout && mode == OpenMode::ExistingOnly) {
    throw DatabaseError(path_ + ": layout " + std::to_string(layout) +
                        "; a collector serving the file brings it to layout " +
                        std::to_string(kStoreLayout));
  }
  if (empty) {
    Execute(kLayout1);
    layout = 1;
  }
  if (layout == 1) Execute(kLayout1To2);
  Execute("COMMIT");
  transaction.Committed();
}

void SqliteStore::Execute(const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string message = error ? error : sqlite3_errmsg(db_);
    sqlite3_free(error);
    throw DatabaseError(path_ + ": " + message);
  }
}

std::int64_t SqliteStore::StoreBody(const Post& post, const AnalyticsBody& body) {
  Execute("BEGIN IMMEDIATE");
  Transaction transaction(db_);
  Statement(db_, path_, "INSERT INTO bodies (peer, user_agent, shape, body) VALUES (?, ?, ?, ?)")
      .Bind(1, post.peer)
      .Bind(2, post.userAgent)
      .Bind(3, std::string(ShapeName(body.shape)))
      .BindBlob(4, post.text)
      .Run();
  const std::int64_t id = sqlite3_last_insert_rowid(db_);

  Statement transfer(db_, path_,
                     "INSERT INTO transfers (body_id, partner, package, version, transfer, "
                     "status, bytes, duration) VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
  for (const TransferRecord& record : body.transfers) {
    transfer.Bind(1, id)
        .Bind(2, record.key.partnerId)
        .Bind(3, record.key.packageId)
        .Bind(4, record.key.versionId)
        .Bind(5, record.transferId)
        .Bind(6, record.status)
        .Bind(7, static_cast<std::int64_t>(record.bytes))
        .Bind(8, record.durationSeconds)
        .Run();
  }
  Statement event(db_, path_,
                  "INSERT INTO events (body_id, position, partner, package, version, counter, "
                  "count, error) VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
  for (const auto& [position, record] : body.events) {
    for (const auto& [counter, count] : record.metrics) {
      event.Bind(1, id)
          .Bind(2, static_cast<std::int64_t>(position))
          .Bind(3, record.key.partnerId)
          .Bind(4, record.key.packageId)
          .Bind(5, record.key.versionId)
          .Bind(6, counter)
          .Bind(7, static_cast<std::int64_t>(count));
      record.hasError ? event.Bind(8, record.error) : event.BindNull(8);
      event.Run();
    }
  }
  Statement node(db_, path_,
                 "INSERT INTO nodes (body_id, position, partner, package, version, cdn, bytes, "
                 "request_time) VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
  for (const auto& [position, record] : body.nodes) {
    node.Bind(1, id)
        .Bind(2, static_cast<std::int64_t>(position))
        .Bind(3, record.key.partnerId)
        .Bind(4, record.key.packageId)
        .Bind(5, record.key.versionId)
        .Bind(6, record.cdn)
        .Bind(7, static_cast<std::int64_t>(record.bytes))
        .Bind(8, record.requestSeconds)
        .Run();
  }
  Execute("COMMIT");
  transaction.Committed();
  return id;
}

void SqliteStore::StoreRefusal(Refusal refusal, int httpStatus, std::uint64_t length,
                               const std::string& peer) {
  Statement(db_, path_,
            "INSERT INTO refusals (peer, reason, http_status, length) VALUES (?, ?, ?, ?)")
      .Bind(1, peer)
      .Bind(2, std::string(RefusalName(refusal)))
      .Bind(3, static_cast<std::int64_t>(httpStatus))
      .Bind(4, static_cast<std::int64_t>(length))
      .Run();
}

void SqliteStore::Ping() { Statement(db_, path_, "SELECT count(*) FROM schema_version").Step(); }

void SqliteStore::Read(const TimeRange& range, ReportSink& sink) {
  // One read transaction: every part sees the same bodies.
  Execute("BEGIN");
  Transaction transaction(db_);
  const auto counts = [&](const char* sql, auto add) {
    Statement statement(db_, path_, sql);
    statement.BindRange(range);
    while (statement.Step()) add(statement.Text(0), statement.Int(1));
  };
  counts("SELECT shape, count(*) FROM bodies b WHERE " HALV_IN_RANGE("b") " GROUP BY shape",
         [&](const std::string& shape, std::int64_t n) { sink.Shape(shape, n); });
  counts("SELECT reason, count(*) FROM refusals r WHERE " HALV_IN_RANGE("r") " GROUP BY reason",
         [&](const std::string& reason, std::int64_t n) { sink.Refused(reason, n); });
  counts(
      "SELECT user_agent, count(*) FROM bodies b WHERE " HALV_IN_RANGE("b") " GROUP BY user_agent",
      [&](const std::string& agent, std::int64_t n) { sink.Agent(agent, n); });
  {
    Statement statement(
        db_, path_,
        "SELECT t.partner, t.package, t.version, t.transfer, t.status, t.bytes, "
        "t.duration FROM transfers t JOIN bodies b ON b.id = t.body_id WHERE " HALV_IN_RANGE(
            "b") " ORDER BY t.body_id, t.id");
    statement.BindRange(range);
    while (statement.Step()) {
      sink.Transfer({statement.Text(0), statement.Text(1), statement.Text(2)}, statement.Text(3),
                    statement.Text(4), statement.Int(5), statement.Real(6));
    }
  }
  {
    Statement statement(db_, path_,
                        "SELECT e.partner, e.package, e.version, e.counter, e.count, e.error "
                        "FROM events e JOIN bodies b ON b.id = e.body_id WHERE " HALV_IN_RANGE(
                            "b") " ORDER BY e.body_id, e.id");
    statement.BindRange(range);
    while (statement.Step()) {
      const std::string error = statement.Text(5);
      sink.Event({statement.Text(0), statement.Text(1), statement.Text(2)}, statement.Text(3),
                 statement.Int(4), statement.IsNull(5) ? nullptr : &error);
    }
  }
  {
    Statement statement(db_, path_,
                        "SELECT n.cdn, n.bytes, n.request_time FROM nodes n JOIN bodies b ON "
                        "b.id = n.body_id WHERE " HALV_IN_RANGE("b") " ORDER BY n.body_id, n.id");
    statement.BindRange(range);
    while (statement.Step()) sink.Node(statement.Text(0), statement.Int(1), statement.Real(2));
  }
}

std::int64_t SqliteStore::Prune(const std::string& before) {
  Execute("BEGIN IMMEDIATE");
  Transaction transaction(db_);
  for (const char* table : {"transfers", "events", "nodes"}) {
    const std::string sql = std::string("DELETE FROM ") + table +
                            " WHERE body_id IN (SELECT id FROM bodies WHERE received < ?)";
    Statement(db_, path_, sql.c_str()).Bind(1, before).Run();
  }
  Statement(db_, path_, "DELETE FROM bodies WHERE received < ?").Bind(1, before).Run();
  const std::int64_t bodies = sqlite3_changes(db_);
  Statement(db_, path_, "DELETE FROM refusals WHERE received < ?").Bind(1, before).Run();
  Execute("COMMIT");
  transaction.Committed();
  return bodies;
}

}  // namespace halv::collect
