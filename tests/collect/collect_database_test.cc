// The collector's database: what is stored for each kind of document, the report made from it,
// and the files it refuses to open.

#include "collect_database.h"

#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analytics_body.h"
#include "collect_test_support.h"
#include "temp_dir.h"

namespace halv::collect {
namespace {

using test::QueryRows;

void Store(CollectDatabase& database, const std::string& text) {
  database.StoreBody(text, ParseAnalyticsBody(text), "127.0.0.1:1");
}

TEST(CollectDatabaseTest, EachKindOfRecordGoesToItsTableWithTheRawBody) {
  test::TempDir temp;
  const std::string path = temp.Child("c.db");
  {
    CollectDatabase database(path, CollectDatabase::Open::CreateIfMissing);
    Store(database, test::CounterBody("P", "K", "V", "numStarts"));
    Store(database, test::TransferBody("P", "K", "V", "T1", "completed", "1000", "1.5"));
    Store(database, "[" + test::ErrorObject("P", "K", "V", "numFatalErrors", "error|6|bad") + "," +
                        test::NodeObject("P", "K", "V", "n1", "600", "2.5") + "]\n");
    database.StoreRefusal(Refusal::NotJson, 400, 4, "127.0.0.1:2");
  }
  EXPECT_EQ(QueryRows(path, "SELECT id, peer, shape, body FROM bodies ORDER BY id"),
            (std::vector<std::string>{
                "1|127.0.0.1:1|event|" + test::CounterBody("P", "K", "V", "numStarts"),
                "2|127.0.0.1:1|transfer|" +
                    test::TransferBody("P", "K", "V", "T1", "completed", "1000", "1.5"),
                "3|127.0.0.1:1|array|[" +
                    test::ErrorObject("P", "K", "V", "numFatalErrors", "error|6|bad") + "," +
                    test::NodeObject("P", "K", "V", "n1", "600", "2.5") + "]\n"}));
  EXPECT_EQ(QueryRows(path,
                      "SELECT body_id, partner, package, version, transfer, status, bytes, "
                      "duration FROM transfers"),
            std::vector<std::string>{"2|P|K|V|T1|completed|1000|1.5"});
  EXPECT_EQ(QueryRows(path,
                      "SELECT body_id, position, partner, package, version, counter, count, "
                      "coalesce(error, 'NULL') FROM events ORDER BY id"),
            (std::vector<std::string>{"1|0|P|K|V|numStarts|1|NULL",
                                      "3|0|P|K|V|numFatalErrors|1|error|6|bad"}));
  EXPECT_EQ(QueryRows(path,
                      "SELECT body_id, position, partner, package, version, cdn, bytes, "
                      "request_time FROM nodes"),
            std::vector<std::string>{"3|1|P|K|V|n1|600|2.5"});
  EXPECT_EQ(QueryRows(path, "SELECT peer, reason, http_status, length FROM refusals"),
            std::vector<std::string>{"127.0.0.1:2|not-json|400|4"});
  EXPECT_EQ(QueryRows(path, "SELECT count(*) FROM bodies WHERE received LIKE '____-__-__T%Z'"),
            std::vector<std::string>{"3"});
}

TEST(CollectDatabaseTest, ReportSumsTransfersErrorsAndNodes) {
  test::TempDir temp;
  CollectDatabase database(temp.Child("c.db"), CollectDatabase::Open::CreateIfMissing);
  EXPECT_EQ(database.Report(),
            "Posts accepted: 0\nPosts refused: 0\n\n"
            "Transfers by package and version\n  none\n\n"
            "Errors by kind\n  none\n\n"
            "Nodes\n  none\n");

  for (const char* counter : {"numStarts", "numStarts", "numStarts", "numCompletes", "numPauses"}) {
    Store(database, test::CounterBody("P", "app", "2", counter));
  }
  Store(database, test::CounterBody("P", "skin", "1", "numStarts"));
  Store(database, test::TransferBody("P", "app", "2", "T1", "active", "1000", "1"));
  Store(database, test::TransferBody("P", "app", "2", "T1", "completed", "500", "0.5"));
  Store(database, test::TransferBody("P", "app", "2", "T2", "canceled", "24", "0.25"));
  Store(database, "[" + test::CounterObject("P", "app", "2", "numCancels") + "," +
                      test::NodeObject("P", "app", "2", "n1.example", "1024", "0.5") + "," +
                      test::NodeObject("P", "app", "2", "n2.example", "0", "0") + "]");
  Store(database, "[" + test::ErrorObject("P", "skin", "1", "numFatalErrors", "error|6|x") + "," +
                      test::NodeObject("P", "skin", "1", "n1.example", "1024", "1.5") + "]");
  Store(database,
        "[" + test::ErrorObject("P", "app", "2", "numRetryableErrors", "error|2|y") + "]");
  Store(database,
        "[" + test::ErrorObject("P", "app", "2", "numRetryableErrors", "error|2|z") + "]");
  Store(database, "[" + test::ErrorObject("P", "app", "2", "numRetryableErrors", "oops") + "]");
  database.StoreRefusal(Refusal::TooLarge, 413, 2000000, "x");
  database.StoreRefusal(Refusal::NotJson, 400, 3, "x");
  database.StoreRefusal(Refusal::NotJson, 400, 3, "x");

  EXPECT_EQ(database.Report(),
            "Posts accepted: 14 (array 5, event 6, transfer 3)\n"
            "Posts refused: 3 (not-json 2, too-large 1)\n"
            "\n"
            "Transfers by package and version\n"
            "  partner  package  version  started  completed  failed  canceled  transfers"
            "  bytes delivered\n"
            "  P        app      2              3          1       0         1          2"
            "             1524\n"
            "  P        skin     1              1          0       1         0          0"
            "                0\n"
            "\n"
            "Errors by kind\n"
            "  partner  package  version  event           error                count\n"
            "  P        app      2        RetryableError  (unrecognised text)      1\n"
            "  P        app      2        RetryableError  ConnectionError (2)      2\n"
            "  P        skin     1        FatalError      ChecksumError (6)        1\n"
            "\n"
            "Nodes\n"
            "  node        reports  bytes  request time s  throughput KiB/s\n"
            "  n1.example        2   2048           2.000               1.0\n"
            "  n2.example        1      0           0.000                 -\n");
}

TEST(CollectDatabaseTest, OpeningAgainKeepsTheRows) {
  test::TempDir temp;
  const std::string path = temp.Child("c.db");
  {
    CollectDatabase first(path, CollectDatabase::Open::CreateIfMissing);
    Store(first, test::CounterBody("P", "K", "V", "numStarts"));
  }
  CollectDatabase again(path, CollectDatabase::Open::ExistingOnly);
  Store(again, test::CounterBody("P", "K", "V", "numStarts"));
  EXPECT_EQ(QueryRows(path, "SELECT count(*) FROM events"), std::vector<std::string>{"2"});
}

TEST(CollectDatabaseTest, FilesThatAreNoCollectorDatabaseAreRefused) {
  test::TempDir temp;
  // A missing file is not created for a report.
  EXPECT_THROW(CollectDatabase(temp.Child("missing.db"), CollectDatabase::Open::ExistingOnly),
               DatabaseError);
  EXPECT_FALSE(std::filesystem::exists(temp.Child("missing.db")));
  // Some other program's SQLite database is left alone.
  const std::string foreign = temp.Child("foreign.db");
  test::QueryRows(foreign, "CREATE TABLE mine (x)");
  EXPECT_THROW(CollectDatabase(foreign, CollectDatabase::Open::CreateIfMissing), DatabaseError);
  EXPECT_EQ(QueryRows(foreign, "SELECT name FROM sqlite_master"), std::vector<std::string>{"mine"});
  // A file that is not SQLite at all.
  const std::string text = temp.Child("text.db");
  std::ofstream(text) << std::string(4096, 'x');
  EXPECT_THROW(CollectDatabase(text, CollectDatabase::Open::CreateIfMissing), DatabaseError);
  EXPECT_EQ(test::ReadFile(text), std::string(4096, 'x'));
  // A folder that does not exist.
  EXPECT_THROW(
      CollectDatabase(temp.Child("no/such/folder.db"), CollectDatabase::Open::CreateIfMissing),
      DatabaseError);
}

}  // namespace
}  // namespace halv::collect
