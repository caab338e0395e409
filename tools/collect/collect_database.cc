#include "collect_database.h"

#include <sqlite3.h>

#include <cinttypes>
#include <cstdio>
#include <map>
#include <sstream>
#include <tuple>
#include <vector>

namespace halv::collect {
namespace {

constexpr int kLayoutVersion = 1;
constexpr int kBusyTimeoutMs = 10000;

// Received times are UTC with milliseconds, sortable as text.
#define HALV_NOW "(strftime('%Y-%m-%dT%H:%M:%fZ', 'now'))"

const char kSchema[] =
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

  std::string Text(int column) const {
    const auto* text = sqlite3_column_text(stmt_, column);
    return text ? std::string(reinterpret_cast<const char*>(text),
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

// A plain-text table: columns padded to their widest cell, numbers aligned right.
class TextTable {
 public:
  explicit TextTable(std::vector<std::string> header) {
    for (auto& name : header) {
      numeric_.push_back(!name.empty() && name[0] == '>');
      if (numeric_.back()) name.erase(0, 1);
    }
    rows_.push_back(std::move(header));
  }
  void Add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
  bool Empty() const { return rows_.size() == 1; }

  void Print(std::ostream& out) const {
    std::vector<std::size_t> widths(numeric_.size(), 0);
    for (const auto& row : rows_) {
      for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], Width(row[i]));
    }
    for (const auto& row : rows_) {
      std::string line;
      for (std::size_t i = 0; i < row.size(); ++i) {
        const std::string pad(widths[i] - Width(row[i]), ' ');
        line += "  " + (numeric_[i] ? pad + row[i] : row[i] + pad);
      }
      line.erase(line.find_last_not_of(' ') + 1);
      out << line << '\n';
    }
  }

 private:
  // Characters, not bytes: ids may hold any UTF-8 text.
  static std::size_t Width(const std::string& text) {
    std::size_t width = 0;
    for (const char c : text) width += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return width;
  }

  std::vector<bool> numeric_;
  std::vector<std::vector<std::string>> rows_;
};

std::string Fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

const char* const kTransferErrors[] = {"None",
                                       "ManifestError",
                                       "ConnectionError",
                                       "InsufficientMemory",
                                       "InsufficientSpace",
                                       "FileAccessError",
                                       "ChecksumError",
                                       "FileError",
                                       "RequestError",
                                       "UnknownError"};

// The kind of an error text "error|<transfer error>|...": the transfer error's name.
std::string ErrorKind(const std::string& text) {
  if (text.empty()) return "(no text)";
  const std::string prefix = "error|";
  if (text.compare(0, prefix.size(), prefix) != 0) return "(unrecognised text)";
  const std::string number =
      text.substr(prefix.size(), text.find('|', prefix.size()) - prefix.size());
  if (number.empty() || number.size() > 3 ||
      number.find_first_not_of("0123456789") != number.npos) {
    return "(unrecognised text)";
  }
  const int value = std::stoi(number);
  if (value < static_cast<int>(std::size(kTransferErrors))) {
    return std::string(kTransferErrors[value]) + " (" + number + ")";
  }
  return "transfer error " + number;
}

// "numFatalErrors" -> "FatalError"; other counters unchanged.
std::string EventName(const std::string& counter) {
  if (counter.size() > 4 && counter.compare(0, 3, "num") == 0 && counter.back() == 's') {
    return counter.substr(3, counter.size() - 4);
  }
  return counter;
}

}  // namespace

CollectDatabase::CollectDatabase(const std::string& path, Open open) : path_(path) {
  const int flags =
      SQLITE_OPEN_READWRITE | (open == Open::CreateIfMissing ? SQLITE_OPEN_CREATE : 0);
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
    Execute("BEGIN IMMEDIATE");
    Transaction transaction(db_);
    Statement version(db_, path_, "PRAGMA user_version");
    version.Step();
    const std::int64_t layout = version.Int(0);
    Statement tables(db_, path_, "SELECT count(*) FROM sqlite_master");
    tables.Step();
    if (layout == 0 && tables.Int(0) == 0) {
      if (open == Open::ExistingOnly) throw DatabaseError(path + ": no collector tables");
      Execute(kSchema);
      Execute(("PRAGMA user_version=" + std::to_string(kLayoutVersion)).c_str());
    } else if (layout != kLayoutVersion) {
      throw DatabaseError(path + ": not a collector database of layout " +
                          std::to_string(kLayoutVersion));
    }
    Execute("COMMIT");
    transaction.Committed();
  } catch (...) {
    sqlite3_close(db_);
    throw;
  }
}

CollectDatabase::~CollectDatabase() { sqlite3_close(db_); }

void CollectDatabase::Execute(const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string message = error ? error : sqlite3_errmsg(db_);
    sqlite3_free(error);
    throw DatabaseError(path_ + ": " + message);
  }
}

std::int64_t CollectDatabase::StoreBody(const std::string& text, const AnalyticsBody& body,
                                        const std::string& peer) {
  Execute("BEGIN IMMEDIATE");
  Transaction transaction(db_);
  Statement(db_, path_, "INSERT INTO bodies (peer, shape, body) VALUES (?, ?, ?)")
      .Bind(1, peer)
      .Bind(2, std::string(ShapeName(body.shape)))
      .BindBlob(3, text)
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

void CollectDatabase::StoreRefusal(Refusal refusal, int httpStatus, std::uint64_t length,
                                   const std::string& peer) {
  Statement(db_, path_,
            "INSERT INTO refusals (peer, reason, http_status, length) VALUES (?, ?, ?, ?)")
      .Bind(1, peer)
      .Bind(2, std::string(RefusalName(refusal)))
      .Bind(3, static_cast<std::int64_t>(httpStatus))
      .Bind(4, static_cast<std::int64_t>(length))
      .Run();
}

std::string CollectDatabase::Report() {
  // One read transaction: every section sees the same bodies.
  Execute("BEGIN");
  Transaction transaction(db_);
  std::ostringstream out;

  const auto counts = [&](const char* sql) {
    Statement statement(db_, path_, sql);
    std::int64_t total = 0;
    std::string parts;
    while (statement.Step()) {
      total += statement.Int(1);
      parts +=
          (parts.empty() ? "" : ", ") + statement.Text(0) + " " + std::to_string(statement.Int(1));
    }
    return std::to_string(total) + (parts.empty() ? "" : " (" + parts + ")");
  };
  out << "Posts accepted: "
      << counts("SELECT shape, count(*) FROM bodies GROUP BY shape ORDER BY 1")
      << "\nPosts refused: "
      << counts("SELECT reason, count(*) FROM refusals GROUP BY reason ORDER BY 1") << "\n";

  TextTable transfers({"partner", "package", "version", ">started", ">completed", ">failed",
                       ">canceled", ">transfers", ">bytes delivered"});
  {
    Statement statement(
        db_, path_,
        "WITH keys AS (SELECT partner, package, version FROM events UNION "
        "              SELECT partner, package, version FROM transfers),"
        " counters AS (SELECT partner, package, version,"
        "   sum(CASE counter WHEN 'numStarts' THEN count ELSE 0 END) AS started,"
        "   sum(CASE counter WHEN 'numCompletes' THEN count ELSE 0 END) AS completed,"
        "   sum(CASE counter WHEN 'numFatalErrors' THEN count ELSE 0 END) AS failed,"
        "   sum(CASE counter WHEN 'numCancels' THEN count ELSE 0 END) AS canceled"
        "   FROM events GROUP BY 1, 2, 3),"
        " delivered AS (SELECT partner, package, version, count(DISTINCT transfer) AS n,"
        "   sum(bytes) AS bytes FROM transfers GROUP BY 1, 2, 3)"
        " SELECT k.partner, k.package, k.version, coalesce(c.started, 0),"
        "   coalesce(c.completed, 0), coalesce(c.failed, 0), coalesce(c.canceled, 0),"
        "   coalesce(d.n, 0), coalesce(d.bytes, 0)"
        " FROM keys k LEFT JOIN counters c USING (partner, package, version)"
        "   LEFT JOIN delivered d USING (partner, package, version)"
        " ORDER BY 1, 2, 3");
    while (statement.Step()) {
      std::vector<std::string> row;
      for (int i = 0; i < 3; ++i) row.push_back(statement.Text(i));
      for (int i = 3; i < 9; ++i) row.push_back(std::to_string(statement.Int(i)));
      transfers.Add(std::move(row));
    }
  }
  out << "\nTransfers by package and version\n";
  transfers.Empty() ? void(out << "  none\n") : transfers.Print(out);

  std::map<std::tuple<std::string, std::string, std::string, std::string, std::string>,
           std::int64_t>
      errors;
  {
    Statement statement(db_, path_,
                        "SELECT partner, package, version, counter, error, count FROM events "
                        "WHERE error IS NOT NULL");
    while (statement.Step()) {
      errors[{statement.Text(0), statement.Text(1), statement.Text(2), EventName(statement.Text(3)),
              ErrorKind(statement.Text(4))}] += statement.Int(5);
    }
  }
  TextTable errorTable({"partner", "package", "version", "event", "error", ">count"});
  for (const auto& [key, count] : errors) {
    const auto& [partner, package, version, event, kind] = key;
    errorTable.Add({partner, package, version, event, kind, std::to_string(count)});
  }
  out << "\nErrors by kind\n";
  errorTable.Empty() ? void(out << "  none\n") : errorTable.Print(out);

  TextTable nodes({"node", ">reports", ">bytes", ">request time s", ">throughput KiB/s"});
  {
    Statement statement(db_, path_,
                        "SELECT cdn, count(*), sum(bytes), sum(request_time) FROM nodes "
                        "GROUP BY cdn ORDER BY cdn");
    while (statement.Step()) {
      const double bytes = static_cast<double>(statement.Int(2));
      const double seconds = statement.Real(3);
      nodes.Add({statement.Text(0), std::to_string(statement.Int(1)),
                 std::to_string(statement.Int(2)), Fixed(seconds, 3),
                 seconds > 0 ? Fixed(bytes / 1024 / seconds, 1) : "-"});
    }
  }
  out << "\nNodes\n";
  nodes.Empty() ? void(out << "  none\n") : nodes.Print(out);
  return out.str();
}

}  // namespace halv::collect
