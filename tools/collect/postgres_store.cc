#include "postgres_store.h"

#include <libpq-fe.h>

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace halv::collect {
namespace {

// The advisory lock key collectors take while they create or migrate the layout ("halvcoll").
constexpr long long kMigrationLock = 0x68616c76636f6c6cLL;

const char kLayout2[] =
    "CREATE TABLE bodies ("
    "  id bigserial PRIMARY KEY,"
    "  received timestamptz NOT NULL DEFAULT now(),"
    "  peer text NOT NULL,"
    "  user_agent text NOT NULL DEFAULT '',"
    "  shape text NOT NULL,"
    "  body bytea NOT NULL);"
    "CREATE TABLE transfers ("
    "  id bigserial PRIMARY KEY,"
    "  body_id bigint NOT NULL REFERENCES bodies(id),"
    "  partner text NOT NULL, package text NOT NULL, version text NOT NULL,"
    "  transfer text NOT NULL,"
    "  status text NOT NULL,"
    "  bytes bigint NOT NULL,"
    "  duration double precision NOT NULL);"
    "CREATE TABLE events ("
    "  id bigserial PRIMARY KEY,"
    "  body_id bigint NOT NULL REFERENCES bodies(id),"
    "  position integer NOT NULL,"
    "  partner text NOT NULL, package text NOT NULL, version text NOT NULL,"
    "  counter text NOT NULL,"
    "  count bigint NOT NULL,"
    "  error text);"
    "CREATE TABLE nodes ("
    "  id bigserial PRIMARY KEY,"
    "  body_id bigint NOT NULL REFERENCES bodies(id),"
    "  position integer NOT NULL,"
    "  partner text NOT NULL, package text NOT NULL, version text NOT NULL,"
    "  cdn text NOT NULL,"
    "  bytes bigint NOT NULL,"
    "  request_time double precision NOT NULL);"
    "CREATE TABLE refusals ("
    "  id bigserial PRIMARY KEY,"
    "  received timestamptz NOT NULL DEFAULT now(),"
    "  peer text NOT NULL,"
    "  reason text NOT NULL,"
    "  http_status integer NOT NULL,"
    "  length bigint NOT NULL);"
    "CREATE INDEX bodies_received ON bodies(received);"
    "CREATE INDEX refusals_received ON refusals(received);"
    "CREATE INDEX transfers_body ON transfers(body_id);"
    "CREATE INDEX events_body ON events(body_id);"
    "CREATE INDEX nodes_body ON nodes(body_id);"
    "INSERT INTO schema_version VALUES (2);";

// Rows of bodies received within $1 (inclusive) and $2 (exclusive); a null bound is open.
#define HALV_IN_RANGE(table)           \
  "($1::timestamptz IS NULL OR " table \
  ".received >= $1::timestamptz) AND " \
  "($2::timestamptz IS NULL OR " table ".received < $2::timestamptz)"

std::string Number(std::int64_t value) { return std::to_string(value); }

std::string Number(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

}  // namespace

// One query's result, cleared when it goes.
class PostgresStore::Result {
 public:
  explicit Result(PGresult* result) : result_(result) {}
  ~Result() { PQclear(result_); }
  Result(Result&& other) noexcept : result_(std::exchange(other.result_, nullptr)) {}
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;

  bool Ok() const {
    const ExecStatusType status = PQresultStatus(result_);
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
  }
  std::string Error(PGconn* conn) const {
    std::string message = result_ ? PQresultErrorMessage(result_) : PQerrorMessage(conn);
    while (!message.empty() && message.back() == '\n') message.pop_back();
    return message;
  }
  int Rows() const { return PQntuples(result_); }
  std::int64_t Changed() const { return std::strtoll(PQcmdTuples(result_), nullptr, 10); }
  bool IsNull(int row, int column) const { return PQgetisnull(result_, row, column) != 0; }
  std::string Text(int row, int column) const {
    return std::string(PQgetvalue(result_, row, column),
                       static_cast<std::size_t>(PQgetlength(result_, row, column)));
  }
  std::int64_t Int(int row, int column) const {
    return std::strtoll(PQgetvalue(result_, row, column), nullptr, 10);
  }
  double Real(int row, int column) const {
    return std::strtod(PQgetvalue(result_, row, column), nullptr);
  }

 private:
  PGresult* result_;
};

PostgresStore::PostgresStore(const std::string& uri, OpenMode mode)
    : name_(RedactedStoreName(uri)) {
  if (RedactedStoreName(uri) != uri) {
    throw DatabaseError(name_ +
                        ": a password does not belong in the URI; put it in ~/.pgpass or the "
                        "file PGPASSFILE names");
  }
  conn_ = PQconnectdb(uri.c_str());
  if (!conn_) throw DatabaseError(name_ + ": cannot connect: out of memory");
  try {
    if (PQstatus(conn_) != CONNECTION_OK) {
      throw DatabaseError(name_ + ": cannot connect: " + PQerrorMessage(conn_));
    }
    Run("SET client_min_messages = warning");
    Migrate(mode);
  } catch (...) {
    PQfinish(conn_);
    throw;
  }
}

PostgresStore::~PostgresStore() { PQfinish(conn_); }

PostgresStore::Result PostgresStore::Run(const char* sql,
                                         const std::vector<const std::string*>& params,
                                         const std::vector<bool>& binary) {
  std::vector<const char*> values;
  std::vector<int> lengths, formats;
  for (std::size_t i = 0; i < params.size(); ++i) {
    values.push_back(params[i] ? params[i]->data() : nullptr);
    lengths.push_back(params[i] ? static_cast<int>(params[i]->size()) : 0);
    formats.push_back(i < binary.size() && binary[i] ? 1 : 0);
  }
  // Without parameters the simple protocol, which also runs several statements at once.
  Result result(params.empty() ? PQexec(conn_, sql)
                               : PQexecParams(conn_, sql, static_cast<int>(params.size()), nullptr,
                                              values.data(), lengths.data(), formats.data(), 0));
  if (!result.Ok()) throw DatabaseError(name_ + ": " + result.Error(conn_));
  return result;
}

void PostgresStore::Reconnect() {
  if (PQstatus(conn_) == CONNECTION_OK) return;
  PQreset(conn_);
  if (PQstatus(conn_) != CONNECTION_OK) {
    throw DatabaseError(name_ + ": cannot connect: " + PQerrorMessage(conn_));
  }
}

// Rolls back an open transaction unless it was committed.
class PostgresStore::Transaction {
 public:
  Transaction(PostgresStore& store, const char* begin) : store_(store) { store_.Run(begin); }
  ~Transaction() {
    if (!committed_) PQclear(PQexec(store_.conn_, "ROLLBACK"));
  }
  void Commit() {
    store_.Run("COMMIT");
    committed_ = true;
  }

 private:
  PostgresStore& store_;
  bool committed_ = false;
};

void PostgresStore::Migrate(OpenMode mode) {
  if (mode == OpenMode::ExistingOnly) {
    const Result found = Run("SELECT to_regclass('schema_version') IS NOT NULL");
    if (found.Text(0, 0) != "t") throw DatabaseError(name_ + ": no collector tables");
    const Result version = Run("SELECT max(version) FROM schema_version");
    if (version.IsNull(0, 0) || version.Int(0, 0) != kStoreLayout) {
      throw DatabaseError(name_ + ": not a collector database of layout " +
                          std::to_string(kStoreLayout));
    }
    return;
  }
  const std::string lock = std::to_string(kMigrationLock);
  Run("SELECT pg_advisory_lock($1::bigint)", {&lock});
  try {
    Transaction transaction(*this, "BEGIN");
    Run("CREATE TABLE IF NOT EXISTS schema_version (version integer NOT NULL)");
    const Result version = Run("SELECT max(version) FROM schema_version");
    if (version.IsNull(0, 0)) {
      Run(kLayout2);
    } else if (version.Int(0, 0) != kStoreLayout) {
      throw DatabaseError(name_ + ": not a collector database of layout " +
                          std::to_string(kStoreLayout));
    }
    transaction.Commit();
  } catch (...) {
    PQclear(PQexec(conn_, "SELECT pg_advisory_unlock_all()"));
    throw;
  }
  Run("SELECT pg_advisory_unlock($1::bigint)", {&lock});
}

std::int64_t PostgresStore::StoreBody(const Post& post, const AnalyticsBody& body) {
  Reconnect();
  Transaction transaction(*this, "BEGIN");
  const std::string shape = ShapeName(body.shape);
  const Result inserted =
      Run("INSERT INTO bodies (peer, user_agent, shape, body) VALUES ($1, $2, $3, $4) RETURNING id",
          {&post.peer, &post.userAgent, &shape, &post.text}, {false, false, false, true});
  const std::string id = inserted.Text(0, 0);
  for (const TransferRecord& record : body.transfers) {
    const std::string bytes = Number(static_cast<std::int64_t>(record.bytes));
    const std::string seconds = Number(record.durationSeconds);
    Run("INSERT INTO transfers (body_id, partner, package, version, transfer, status, bytes, "
        "duration) VALUES ($1, $2, $3, $4, $5, $6, $7, $8)",
        {&id, &record.key.partnerId, &record.key.packageId, &record.key.versionId,
         &record.transferId, &record.status, &bytes, &seconds});
  }
  for (const auto& [position, record] : body.events) {
    const std::string at = Number(static_cast<std::int64_t>(position));
    for (const auto& [counter, count] : record.metrics) {
      const std::string n = Number(static_cast<std::int64_t>(count));
      Run("INSERT INTO events (body_id, position, partner, package, version, counter, count, "
          "error) VALUES ($1, $2, $3, $4, $5, $6, $7, $8)",
          {&id, &at, &record.key.partnerId, &record.key.packageId, &record.key.versionId, &counter,
           &n, record.hasError ? &record.error : nullptr});
    }
  }
  for (const auto& [position, record] : body.nodes) {
    const std::string at = Number(static_cast<std::int64_t>(position));
    const std::string bytes = Number(static_cast<std::int64_t>(record.bytes));
    const std::string seconds = Number(record.requestSeconds);
    Run("INSERT INTO nodes (body_id, position, partner, package, version, cdn, bytes, "
        "request_time) VALUES ($1, $2, $3, $4, $5, $6, $7, $8)",
        {&id, &at, &record.key.partnerId, &record.key.packageId, &record.key.versionId, &record.cdn,
         &bytes, &seconds});
  }
  transaction.Commit();
  return inserted.Int(0, 0);
}

void PostgresStore::StoreRefusal(Refusal refusal, int httpStatus, std::uint64_t length,
                                 const std::string& peer) {
  Reconnect();
  const std::string reason = RefusalName(refusal);
  const std::string status = Number(static_cast<std::int64_t>(httpStatus));
  const std::string bytes = Number(static_cast<std::int64_t>(length));
  Run("INSERT INTO refusals (peer, reason, http_status, length) VALUES ($1, $2, $3, $4)",
      {&peer, &reason, &status, &bytes});
}

void PostgresStore::Ping() {
  Reconnect();
  Run("SELECT count(*) FROM schema_version");
}

void PostgresStore::Read(const TimeRange& range, ReportSink& sink) {
  Reconnect();
  // One snapshot: every part sees the same bodies.
  Transaction transaction(*this, "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
  const std::vector<const std::string*> bounds = {range.since.empty() ? nullptr : &range.since,
                                                  range.until.empty() ? nullptr : &range.until};
  {
    const Result rows = Run(
        "SELECT shape, count(*) FROM bodies b WHERE " HALV_IN_RANGE("b") " GROUP BY shape", bounds);
    for (int r = 0; r < rows.Rows(); ++r) sink.Shape(rows.Text(r, 0), rows.Int(r, 1));
  }
  {
    const Result rows =
        Run("SELECT reason, count(*) FROM refusals r WHERE " HALV_IN_RANGE("r") " GROUP BY reason",
            bounds);
    for (int r = 0; r < rows.Rows(); ++r) sink.Refused(rows.Text(r, 0), rows.Int(r, 1));
  }
  {
    const Result rows = Run("SELECT user_agent, count(*) FROM bodies b WHERE " HALV_IN_RANGE(
                                "b") " GROUP BY user_agent",
                            bounds);
    for (int r = 0; r < rows.Rows(); ++r) sink.Agent(rows.Text(r, 0), rows.Int(r, 1));
  }
  {
    const Result rows =
        Run("SELECT t.partner, t.package, t.version, t.transfer, t.status, t.bytes, t.duration "
            "FROM transfers t JOIN bodies b ON b.id = t.body_id WHERE " HALV_IN_RANGE(
                "b") " ORDER BY t.body_id, t.id",
            bounds);
    for (int r = 0; r < rows.Rows(); ++r) {
      sink.Transfer({rows.Text(r, 0), rows.Text(r, 1), rows.Text(r, 2)}, rows.Text(r, 3),
                    rows.Text(r, 4), rows.Int(r, 5), rows.Real(r, 6));
    }
  }
  {
    const Result rows = Run(
        "SELECT e.partner, e.package, e.version, e.counter, e.count, e.error FROM events e "
        "JOIN bodies b ON b.id = e.body_id WHERE " HALV_IN_RANGE("b") " ORDER BY e.body_id, e.id",
        bounds);
    for (int r = 0; r < rows.Rows(); ++r) {
      const std::string error = rows.Text(r, 5);
      sink.Event({rows.Text(r, 0), rows.Text(r, 1), rows.Text(r, 2)}, rows.Text(r, 3),
                 rows.Int(r, 4), rows.IsNull(r, 5) ? nullptr : &error);
    }
  }
  {
    const Result rows =
        Run("SELECT n.cdn, n.bytes, n.request_time FROM nodes n JOIN bodies b ON b.id = n.body_id "
            "WHERE " HALV_IN_RANGE("b") " ORDER BY n.body_id, n.id",
            bounds);
    for (int r = 0; r < rows.Rows(); ++r) {
      sink.Node(rows.Text(r, 0), rows.Int(r, 1), rows.Real(r, 2));
    }
  }
  transaction.Commit();
}

std::int64_t PostgresStore::Prune(const std::string& before) {
  Reconnect();
  Transaction transaction(*this, "BEGIN");
  for (const char* sql :
       {"DELETE FROM transfers WHERE body_id IN (SELECT id FROM bodies WHERE received < $1)",
        "DELETE FROM events WHERE body_id IN (SELECT id FROM bodies WHERE received < $1)",
        "DELETE FROM nodes WHERE body_id IN (SELECT id FROM bodies WHERE received < $1)"}) {
    Run(sql, {&before});
  }
  const Result bodies = Run("DELETE FROM bodies WHERE received < $1", {&before});
  Run("DELETE FROM refusals WHERE received < $1", {&before});
  transaction.Commit();
  return bodies.Changed();
}

}  // namespace halv::collect
