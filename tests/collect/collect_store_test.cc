// The collector's stores: what is stored for each kind of document, the report made from it in
// every format, layouts created and migrated, and the stores refused. Every case that does not
// name one store runs against both.

#include "collect_store.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/thread/latch.hpp>

#include "analytics_body.h"
#include "collect_report.h"
#include "collect_test_support.h"
#include "postgres_cluster.h"
#include "sqlite_store.h"
#include "temp_dir.h"

namespace halv::collect {
namespace {

using test::QueryRows;
using test::StoreKind;

void Store(collect::Store& store, const std::string& text, const std::string& agent = "ua/1") {
  store.StoreBody({text, "127.0.0.1:1", agent}, ParseAnalyticsBody(text));
}

std::string Report(collect::Store& store, ReportFormat format = ReportFormat::Text,
                   const std::string& table = "transfers") {
  ReportOptions options;
  options.format = format;
  options.table = table;
  return MakeReport(store, options);
}

// A publisher's mix: restarts, a transfer first posted for "current", a cancel, a suspend,
// failures with causes, nodes.
void StoreMix(collect::Store& store) {
  for (const char* counter : {"numStarts", "numStarts", "numStarts", "numCompletes", "numPauses"}) {
    Store(store, test::CounterBody("P", "app", "2", counter));
  }
  Store(store, test::CounterBody("P", "app", "?", "numStarts"));
  Store(store, test::CounterBody("P", "skin", "1", "numStarts"));
  Store(store, test::CounterBody("P", "skin", "?", "numPauses"));  // shown nowhere: no row
  Store(store, test::TransferBody("P", "app", "?", "T1", "active", "1000", "1"), "ua/2");
  Store(store, test::TransferBody("P", "app", "2", "T1", "completed", "1048", "1"));
  Store(store, test::TransferBody("P", "app", "2", "T2", "canceled", "24", "0.25"));
  Store(store, test::TransferBody("P", "app", "2", "T3", "completed", "8192", "4"));
  Store(store, "[" + test::CounterObject("P", "app", "2", "numCancels") + "," +
                   test::CounterObject("P", "app", "2", "numSuspends") + "," +
                   test::NodeObject("P", "app", "2", "n1.example", "1024", "0.5") + "," +
                   test::NodeObject("P", "app", "2", "n2.example", "0", "0") + "]");
  Store(store, "[" + test::ErrorObject("P", "skin", "1", "numFatalErrors", "error|6|bad sum") +
                   "," + test::NodeObject("P", "skin", "1", "n1.example", "1024", "1.5") + "]");
  Store(store,
        "[" + test::ErrorObject("P", "app", "2", "numRetryableErrors", "error|2|12|Timeout") + "]");
  Store(store,
        "[" + test::ErrorObject("P", "app", "2", "numRetryableErrors", "error|2|12|Timeout") + "]");
  Store(store, "[" + test::ErrorObject("P", "app", "2", "numRetryableErrors", "oops") + "]");
  store.StoreRefusal(Refusal::TooLarge, 413, 2000000, "x");
  store.StoreRefusal(Refusal::NotJson, 400, 3, "x");
  store.StoreRefusal(Refusal::NotJson, 400, 3, "x");
}

const char kMixReport[] =
    "Posts accepted: 17 (array 5, event 8, transfer 4)\n"
    "Posts refused: 3 (not-json 2, too-large 1)\n"
    "\n"
    "Transfers by package and version\n"
    "  partner  package  version               started  completed  failed  canceled  suspended"
    "  success rate  transfers  bytes delivered  median s  p90 s  median rate   p90 rate\n"
    "  P        app      2                           3          1       0         1          1"
    "         50.0%          3         10.0 KiB     2.000  4.000    1.0 KiB/s  2.0 KiB/s\n"
    "  P        app      current (unresolved)        1          0       0         0          0"
    "             -          0              0 B         -      -            -          -\n"
    "  P        skin     1                           1          0       1         0          0"
    "          0.0%          0              0 B         -      -            -          -\n"
    "\n"
    "Failures by cause\n"
    "  partner  package  version  event           error                cause               count\n"
    "  P        app      2        RetryableError  (unrecognised text)  oops                    1\n"
    "  P        app      2        RetryableError  connection (2)       timed out: Timeout      2\n"
    "  P        skin     1        FatalError      checksums (6)        bad sum                 1\n"
    "\n"
    "Nodes\n"
    "  node        reports    bytes  request time s  throughput\n"
    "  n1.example        2  2.0 KiB           2.000   1.0 KiB/s\n"
    "  n2.example        1      0 B           0.000           -\n"
    "\n"
    "Clients\n"
    "  user agent  posts\n"
    "  ua/1           16\n"
    "  ua/2            1\n";

class CollectStoreTest : public testing::TestWithParam<StoreKind> {
 protected:
  void SetUp() override { where_ = GetParam().NewStore(temp_); }
  std::unique_ptr<collect::Store> Open(OpenMode mode = OpenMode::CreateIfMissing) {
    return OpenStore(where_, mode);
  }

  test::TempDir temp_;
  std::string where_;
};

TEST_P(CollectStoreTest, EachKindOfRecordGoesToItsTableWithTheRawBody) {
  const std::string array = "[" +
                            test::ErrorObject("P", "K", "V", "numFatalErrors", "error|6|bad") +
                            "," + test::NodeObject("P", "K", "V", "n1", "600", "2.5") + "]\n";
  {
    auto store = Open();
    Store(*store, test::CounterBody("P", "K", "V", "numStarts"));
    Store(*store, test::TransferBody("P", "K", "V", "T1", "completed", "1000", "1.5"));
    Store(*store, array, "");
    store->StoreRefusal(Refusal::NotJson, 400, 4, "127.0.0.1:2");
  }
  EXPECT_EQ(QueryRows(where_, "SELECT id, peer, user_agent, shape, " + GetParam().BodyText() +
                                  " FROM bodies ORDER BY id"),
            (std::vector<std::string>{
                "1|127.0.0.1:1|ua/1|event|" + test::CounterBody("P", "K", "V", "numStarts"),
                "2|127.0.0.1:1|ua/1|transfer|" +
                    test::TransferBody("P", "K", "V", "T1", "completed", "1000", "1.5"),
                "3|127.0.0.1:1||array|" + array}));
  EXPECT_EQ(QueryRows(where_,
                      "SELECT body_id, partner, package, version, transfer, status, bytes, "
                      "duration FROM transfers"),
            std::vector<std::string>{"2|P|K|V|T1|completed|1000|1.5"});
  EXPECT_EQ(QueryRows(where_,
                      "SELECT body_id, position, partner, package, version, counter, count, "
                      "error FROM events ORDER BY id"),
            (std::vector<std::string>{"1|0|P|K|V|numStarts|1|NULL",
                                      "3|0|P|K|V|numFatalErrors|1|error|6|bad"}));
  EXPECT_EQ(QueryRows(where_,
                      "SELECT body_id, position, partner, package, version, cdn, bytes, "
                      "request_time FROM nodes"),
            std::vector<std::string>{"3|1|P|K|V|n1|600|2.5"});
  EXPECT_EQ(QueryRows(where_, "SELECT peer, reason, http_status, length FROM refusals"),
            std::vector<std::string>{"127.0.0.1:2|not-json|400|4"});
  EXPECT_EQ(QueryRows(where_, "SELECT version FROM schema_version"), std::vector<std::string>{"2"});
}

TEST_P(CollectStoreTest, ReportCountsPerVersionFailuresNodesAndClients) {
  auto store = Open();
  EXPECT_EQ(Report(*store),
            "Posts accepted: 0\nPosts refused: 0\n\n"
            "Transfers by package and version\n  none\n\n"
            "Failures by cause\n  none\n\n"
            "Nodes\n  none\n\n"
            "Clients\n  none\n");
  StoreMix(*store);
  EXPECT_EQ(Report(*store), kMixReport);
}

// A publisher reads what failed, not the updater's type names or result numbers: older updaters
// post "halv::ManifestStreamException" and "6|libcurl error 7" as causes.
TEST_P(CollectStoreTest, FailureCausesAreWordsNotTypeNames) {
  auto store = Open();
  const std::pair<const char*, const char*> errors[] = {
      {"error|1|halv::ManifestStreamException",
       "package documents (1),a document could not be fetched"},
      {"error|2|6|libcurl error 7", "connection (2),connection refused: libcurl error 7"},
      {"error|5|halv::FileInaccessibleException",
       "file access (5),a file could not be written (permissions or read-only)"},
      {"error|9|std::bad_alloc", "unexpected (9),out of memory"},
      {"error|9|halv::SomethingNew", "unexpected (9),unexpected failure"},
      // A node that served bad bytes is named, so its chunks add up in one row.
      {"error|6|1048576|65536|65536|65536|206|1|192.0.2.7|1a2b3c4d|00000000",
       "checksums (6),\"chunks that failed their check, from node 192.0.2.7\""},
      {"error|2|the server h:1 refused the connection (libcurl error 7)",
       "connection (2),the server h:1 refused the connection (libcurl error 7)"},
  };
  std::string body = "[";
  for (const auto& [text, words] : errors) {
    body += (body.size() > 1 ? "," : "") + test::ErrorObject("P", "K", "V", "numFatalErrors", text);
  }
  Store(*store, body + "]");
  const std::string csv = Report(*store, ReportFormat::Csv, "failures");
  for (const auto& [text, words] : errors) {
    EXPECT_NE(csv.find(std::string("P,K,V,FatalError,") + words + ",1\r\n"), std::string::npos)
        << text << "\n"
        << csv;
  }
  EXPECT_EQ(csv.find("halv::"), std::string::npos) << csv;
}

TEST_P(CollectStoreTest, JsonAndCsvCarryTheSameNumbersUnderTheColumnNames) {
  auto store = Open();
  StoreMix(*store);
  const std::string json = Report(*store, ReportFormat::Json);
  EXPECT_NE(json.find("{\"partner\": \"P\", \"package\": \"app\", \"version\": \"2\", "
                      "\"started\": 3, \"completed\": 1, \"failed\": 0, \"canceled\": 1, "
                      "\"suspended\": 1, \"success_rate\": 0.5, \"transfers\": 3, "
                      "\"bytes_delivered\": 10264, \"median_s\": 2, \"p90_s\": 4, "
                      "\"median_rate\": 1024, \"p90_rate\": 2048}"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"accepted\": 17,\n  \"refused\": 3"), std::string::npos) << json;
  // The layout's version first, and every key in snake_case.
  EXPECT_EQ(json.rfind("{\n  \"format_version\": 2,\n", 0), 0u) << json;
  for (std::size_t end = json.find("\": "); end != std::string::npos;
       end = json.find("\": ", end + 1)) {
    const std::string key =
        json.substr(json.rfind('"', end - 1) + 1, end - json.rfind('"', end - 1) - 1);
    EXPECT_EQ(key.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_"), std::string::npos)
        << key;
  }
  EXPECT_EQ(Report(*store, ReportFormat::Csv, "failures"),
            "partner,package,version,event,error,cause,count\r\n"
            "P,app,2,RetryableError,(unrecognised text),oops,1\r\n"
            "P,app,2,RetryableError,connection (2),timed out: Timeout,2\r\n"
            "P,skin,1,FatalError,checksums (6),bad sum,1\r\n");
  EXPECT_THROW(Report(*store, ReportFormat::Csv, "nothing"), std::invalid_argument);
}

TEST_P(CollectStoreTest, HostileValuesNeverBreakTheReportAndArePrintedEscaped) {
  auto store = Open();
  const std::string most = "9223372036854775807";
  Store(*store, test::TransferBody("P", "K", "V", "T1", "completed", most, "1"));
  Store(*store, test::TransferBody("P", "K", "V", "T2", "completed", most, "1"));
  Store(*store, test::CounterBody("P", "K", "V", "numStarts"), "\x1b]0;title\x07");
  Store(*store,
        "{\"pid\":\"P\",\"pkgid\":\"evil\\u001b]0;x\\u0007\\u001b[2J\",\"vid\":\"1\","
        "\"metrics\":{\"numStarts\":\"" +
            most + "\"},\"dimensions\":{}}");
  Store(*store,
        "{\"pid\":\"P\",\"pkgid\":\"evil\\u001b]0;x\\u0007\\u001b[2J\",\"vid\":\"1\","
        "\"metrics\":{\"numStarts\":\"" +
            most + "\"},\"dimensions\":{}}");
  Store(*store, "[" +
                    test::ErrorObject("P", "K", "V", "numFatalErrors",
                                      "error|9|=cmd\\u202E,\\\"x\\\"\\r\\n") +
                    "]");
  const std::string text = Report(*store);
  EXPECT_NE(text.find("8.0 EiB"), std::string::npos) << text;  // the sum saturates
  EXPECT_NE(text.find("evil\\x1B]0;x\\x07\\x1B[2J"), std::string::npos) << text;
  EXPECT_NE(text.find(" " + most + " "), std::string::npos) << text;
  EXPECT_NE(text.find("\\x1B]0;title\\x07"), std::string::npos) << text;
  EXPECT_NE(text.find("=cmd\\u202E,\"x\"\\x0D\\x0A"), std::string::npos) << text;
  for (const char c : text) EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << text;

  const std::string json = Report(*store, ReportFormat::Json);
  EXPECT_NE(json.find("\"evil\\u001b]0;x\\u0007\\u001b[2J\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"bytes_delivered\": " + most), std::string::npos) << json;
  EXPECT_EQ(Report(*store, ReportFormat::Csv, "failures"),
            "partner,package,version,event,error,cause,count\r\n"
            "P,K,V,FatalError,unexpected (9),\"'=cmd\\u202E,\"\"x\"\"\\x0D\\x0A\",1\r\n");
  // A NUL is refused before it reaches a store: no store keeps it whole.
  EXPECT_THROW(ParseAnalyticsBody(test::CounterBody("P", "a\\u0000b", "V", "numStarts")),
               BodyRefused);
}

TEST_P(CollectStoreTest, TimeRangesAndPruningGoByTheTimeReceived) {
  auto store = Open();
  Store(*store, test::TransferBody("P", "K", "V", "T1", "completed", "10", "1"));
  store->StoreRefusal(Refusal::NotJson, 400, 3, "x");
  ReportOptions options;
  options.range.until = "2000-01-01T00:00:00.000Z";
  EXPECT_NE(MakeReport(*store, options).find("Posts accepted: 0\nPosts refused: 0\n"),
            std::string::npos);
  options.range = {"2000-01-01T00:00:00.000Z", "2999-01-01T00:00:00.000Z"};
  EXPECT_NE(MakeReport(*store, options).find("Posts accepted: 1 (transfer 1)\nPosts refused: 1"),
            std::string::npos);
  EXPECT_EQ(store->Prune("2000-01-01T00:00:00.000Z"), 0);
  EXPECT_EQ(store->Prune("2999-01-01T00:00:00.000Z"), 1);
  EXPECT_EQ(QueryRows(where_,
                      "SELECT (SELECT count(*) FROM bodies) + (SELECT count(*) FROM "
                      "transfers) + (SELECT count(*) FROM refusals)"),
            std::vector<std::string>{"0"});
}

TEST_P(CollectStoreTest, OpeningAgainKeepsTheRows) {
  Store(*Open(), test::CounterBody("P", "K", "V", "numStarts"));
  Store(*Open(OpenMode::ExistingOnly), test::CounterBody("P", "K", "V", "numStarts"));
  EXPECT_EQ(QueryRows(where_, "SELECT count(*) FROM events"), std::vector<std::string>{"2"});
}

TEST_P(CollectStoreTest, CollectorsStartingTogetherCreateTheLayoutOnce) {
  constexpr int kOpeners = 6;
  boost::latch start(kOpeners);
  std::vector<std::thread> threads;
  std::vector<std::string> errors(kOpeners);
  for (int i = 0; i < kOpeners; ++i) {
    threads.emplace_back([&, i] {
      start.count_down_and_wait();
      try {
        Store(*Open(), test::CounterBody("P", "K", "V", "numStarts"));
      } catch (const std::exception& error) {
        errors[i] = error.what();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& error : errors) EXPECT_EQ(error, "");
  EXPECT_EQ(QueryRows(where_, "SELECT version FROM schema_version"), std::vector<std::string>{"2"});
  EXPECT_EQ(QueryRows(where_, "SELECT count(*) FROM events"),
            std::vector<std::string>{std::to_string(kOpeners)});
}

INSTANTIATE_TEST_SUITE_P(Stores, CollectStoreTest, testing::ValuesIn(test::kStoreKinds),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CollectStoresTest, TheSamePostsGiveTheSameReportFromBothStores) {
  test::TempDir temp;
  auto sqlite = OpenStore(test::kStoreKinds[0].NewStore(temp), OpenMode::CreateIfMissing);
  auto postgres = OpenStore(test::kStoreKinds[1].NewStore(temp), OpenMode::CreateIfMissing);
  for (auto* store : {sqlite.get(), postgres.get()}) {
    StoreMix(*store);
    // Text that sorts differently by byte and by any language's rules.
    for (const char* package : {"b", "B", "\xC3\xA9", "a b", "_a", "a"}) {
      Store(*store, test::TransferBody("P", package, "1", "T", "completed", "7", "0.1"));
    }
  }
  EXPECT_EQ(Report(*sqlite), Report(*postgres));
  EXPECT_EQ(Report(*sqlite, ReportFormat::Json), Report(*postgres, ReportFormat::Json));
  for (const char* table : {"transfers", "failures", "nodes", "clients", "posts"}) {
    EXPECT_EQ(Report(*sqlite, ReportFormat::Csv, table),
              Report(*postgres, ReportFormat::Csv, table));
  }
}

TEST(CollectStoresTest, LayoutOneFilesAreMigratedInPlace) {
  test::TempDir temp;
  const std::string path = temp.Child("old.db");
  // The first collector's layout, with one post in it.
  QueryRows(path,
            "CREATE TABLE bodies (id INTEGER PRIMARY KEY, received TEXT NOT NULL DEFAULT "
            "(strftime('%Y-%m-%dT%H:%M:%fZ', 'now')), peer TEXT NOT NULL, shape TEXT NOT NULL, "
            "body BLOB NOT NULL)");
  for (const char* sql :
       {"CREATE TABLE transfers (id INTEGER PRIMARY KEY, body_id INTEGER NOT NULL REFERENCES "
        "bodies(id), partner TEXT NOT NULL, package TEXT NOT NULL, version TEXT NOT NULL, "
        "transfer TEXT NOT NULL, status TEXT NOT NULL, bytes INTEGER NOT NULL, duration REAL NOT "
        "NULL)",
        "CREATE TABLE events (id INTEGER PRIMARY KEY, body_id INTEGER NOT NULL REFERENCES "
        "bodies(id), position INTEGER NOT NULL, partner TEXT NOT NULL, package TEXT NOT NULL, "
        "version TEXT NOT NULL, counter TEXT NOT NULL, count INTEGER NOT NULL, error TEXT)",
        "CREATE TABLE nodes (id INTEGER PRIMARY KEY, body_id INTEGER NOT NULL REFERENCES "
        "bodies(id), position INTEGER NOT NULL, partner TEXT NOT NULL, package TEXT NOT NULL, "
        "version TEXT NOT NULL, cdn TEXT NOT NULL, bytes INTEGER NOT NULL, request_time REAL NOT "
        "NULL)",
        "CREATE TABLE refusals (id INTEGER PRIMARY KEY, received TEXT NOT NULL DEFAULT "
        "(strftime('%Y-%m-%dT%H:%M:%fZ', 'now')), peer TEXT NOT NULL, reason TEXT NOT NULL, "
        "http_status INTEGER NOT NULL, length INTEGER NOT NULL)",
        "INSERT INTO bodies (peer, shape, body) VALUES ('p', 'transfer', 'x')",
        "INSERT INTO transfers (body_id, partner, package, version, transfer, status, bytes, "
        "duration) VALUES (1, 'P', 'K', 'V', 'T', 'completed', 9223372036854775807, 2)",
        "INSERT INTO transfers (body_id, partner, package, version, transfer, status, bytes, "
        "duration) VALUES (1, 'P', 'K', 'V', 'T', 'completed', 9223372036854775807, 2)",
        "PRAGMA user_version = 1"}) {
    QueryRows(path, sql);
  }
  // A report does not migrate; it says what to do.
  EXPECT_THROW(SqliteStore(path, OpenMode::ExistingOnly), DatabaseError);
  {
    SqliteStore store(path, OpenMode::CreateIfMissing);
    Store(store, test::CounterBody("P", "K", "V", "numStarts"));
  }
  EXPECT_EQ(QueryRows(path, "PRAGMA user_version"), std::vector<std::string>{"2"});
  EXPECT_EQ(QueryRows(path, "SELECT id, peer, user_agent FROM bodies"),
            (std::vector<std::string>{"1|p|", "2|127.0.0.1:1|ua/1"}));
  EXPECT_EQ(QueryRows(path, "SELECT name FROM sqlite_master WHERE name = 'bodies_received'"),
            std::vector<std::string>{"bodies_received"});
  SqliteStore again(path, OpenMode::ExistingOnly);
  EXPECT_NE(Report(again).find("  P        K        V              1          0       0         0"
                               "          0             -          1          8.0 EiB"),
            std::string::npos)
      << Report(again);
}

TEST(CollectStoresTest, StoresThatAreNoCollectorDatabaseAreRefused) {
  test::TempDir temp;
  // A missing file is not created for a report.
  EXPECT_THROW(SqliteStore(temp.Child("missing.db"), OpenMode::ExistingOnly), DatabaseError);
  EXPECT_FALSE(std::filesystem::exists(temp.Child("missing.db")));
  // Some other program's SQLite database is left alone.
  const std::string foreign = temp.Child("foreign.db");
  QueryRows(foreign, "CREATE TABLE mine (x)");
  EXPECT_THROW(SqliteStore(foreign, OpenMode::CreateIfMissing), DatabaseError);
  EXPECT_EQ(QueryRows(foreign, "SELECT name FROM sqlite_master"), std::vector<std::string>{"mine"});
  // A file that is not SQLite at all.
  const std::string text = temp.Child("text.db");
  std::ofstream(text) << std::string(4096, 'x');
  EXPECT_THROW(SqliteStore(text, OpenMode::CreateIfMissing), DatabaseError);
  EXPECT_EQ(test::ReadFile(text), std::string(4096, 'x'));
  EXPECT_THROW(SqliteStore(temp.Child("no/such/folder.db"), OpenMode::CreateIfMissing),
               DatabaseError);
  // An empty PostgreSQL database is not made a collector's by a report.
  const std::string empty = test::kStoreKinds[1].NewStore(temp);
  EXPECT_THROW(OpenStore(empty, OpenMode::ExistingOnly), DatabaseError);
  EXPECT_EQ(QueryRows(empty, "SELECT count(*) FROM pg_tables WHERE schemaname = 'public'"),
            std::vector<std::string>{"0"});
}

TEST(CollectStoresTest, APasswordInTheUriIsRefusedAndNeverPrinted) {
  test::TempDir temp;
  const std::string uri = test::kStoreKinds[1].NewStore(temp);
  for (const std::string& bad :
       {"postgresql://halv:hunter2@" + uri.substr(20), uri + "?password=hunter2&sslmode=disable"}) {
    try {
      OpenStore(bad, OpenMode::CreateIfMissing);
      ADD_FAILURE() << "opened";
    } catch (const DatabaseError& error) {
      EXPECT_EQ(std::string(error.what()).find("hunter2"), std::string::npos) << error.what();
      EXPECT_NE(std::string(error.what()).find("***"), std::string::npos) << error.what();
    }
  }
  EXPECT_EQ(RedactedStoreName("postgresql://u:p%40ss@h:1/d?password=x&a=b"),
            "postgresql://u:***@h:1/d?password=***&a=b");
  EXPECT_EQ(RedactedStoreName(uri), uri);
  // Without the password file the server refuses: the URI alone is not enough.
  const std::string passFile = std::getenv("PGPASSFILE");
  ::setenv("PGPASSFILE", temp.Child("none").c_str(), 1);
  EXPECT_THROW(OpenStore(uri, OpenMode::CreateIfMissing), DatabaseError);
  ::setenv("PGPASSFILE", passFile.c_str(), 1);
  EXPECT_NO_THROW(OpenStore(uri, OpenMode::CreateIfMissing));
}

}  // namespace
}  // namespace halv::collect
