// The collector as a service: the sender behind trusted reverse proxies, the health answer, the
// log reopened on SIGHUP, the report's and prune's command lines, and backups while serving.

#include <signal.h>
#include <sys/wait.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/ip/address.hpp>

#include "collect_test_support.h"
#include "temp_dir.h"
#include "trusted_proxies.h"

namespace halv::collect {
namespace {

using test::QueryRows;

TEST(TrustedProxiesTest, TheSenderIsTheRightMostUntrustedHop) {
  TrustedProxies proxies;
  proxies.Add("10.0.0.0/8");
  proxies.Add("127.0.0.1");
  proxies.Add("fd00::/8");
  struct Case {
    const char* peer;
    const char* forwardedFor;
    const char* sender;
  } cases[] = {
      {"192.0.2.7", "203.0.113.9", "192.0.2.7:5000"},  // not a proxy: the header is ignored
      {"127.0.0.1", "", "127.0.0.1:5000"},
      {"127.0.0.1", "203.0.113.9", "203.0.113.9"},
      {"127.0.0.1", "1.2.3.4, 203.0.113.9, 10.1.2.3", "203.0.113.9"},  // 1.2.3.4 may be forged
      {"127.0.0.1", "10.0.0.1, 10.0.0.2", "10.0.0.1"},                 // every hop trusted
      {"127.0.0.1", "203.0.113.9, junk", "127.0.0.1"},                 // a bad hop ends the walk
      {"127.0.0.1", "2001:db8::1, fd00::2", "2001:db8::1"},
      {"127.0.0.1", "[2001:db8::5], 203.0.113.1:4711", "203.0.113.1"},
      {"::ffff:127.0.0.1", "198.51.100.1", "198.51.100.1"},
      {"fd12::1", "198.51.100.2", "198.51.100.2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.peer) + " / " + c.forwardedFor);
    EXPECT_EQ(proxies.Sender(boost::asio::ip::make_address(c.peer), 5000, c.forwardedFor),
              c.sender);
  }
  for (const char* bad : {"10.0.0.0/33", "fd00::/129", "example.org", "10.0.0.0/", "1.2.3.4/x"}) {
    EXPECT_THROW(proxies.Add(bad), std::invalid_argument) << bad;
  }
  EXPECT_EQ(TrustedProxies().Sender(boost::asio::ip::make_address("127.0.0.1"), 1, "9.9.9.9"),
            "127.0.0.1:1");
}

std::string Curl(const std::vector<std::string>& args) {
  std::string command = "curl -s -o /dev/null -w '%{http_code}'";
  for (const auto& arg : args) command += " '" + arg + "'";
  std::string out;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[64];
    while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
    ::pclose(pipe);
  }
  return out;
}

class CollectServiceTest : public testing::TestWithParam<test::StoreKind> {
 protected:
  void SetUp() override {
    for (const char* name : {"HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME"}) {
      ::setenv(name, temp_.Child(name).c_str(), 1);
    }
    db_ = GetParam().NewStore(temp_);
  }
  test::TempDir temp_;
  std::string db_;
};

TEST_P(CollectServiceTest, HealthProxiesAndTheLog) {
  const std::string log = temp_.Child("collect.log");
  test::CollectorProcess collector;
  ASSERT_TRUE(collector.Start(
      db_, {"--trust-proxy", "127.0.0.0/8", "--trust-proxy", "::1", "--log", log, "--pool", "2"}));
  EXPECT_EQ(Curl({collector.url() + "/health"}), "200");
  // A monitor that asks with HEAD gets the same answer, without the body.
  EXPECT_EQ(Curl({"-I", collector.url() + "/health"}), "200");
  EXPECT_EQ(Curl({"-X", "DELETE", collector.url() + "/health"}), "405");
  const std::string body = test::CounterBody("P", "K", "V", "numStarts");
  EXPECT_EQ(Curl({"-H", "X-Forwarded-For: 1.1.1.1, 198.51.100.4", "-A", "halvane/2.0 (linux)", "-d",
                  body, collector.url() + "/"}),
            "204");
  EXPECT_EQ(QueryRows(db_, "SELECT peer, user_agent FROM bodies"),
            std::vector<std::string>{"198.51.100.4|halvane/2.0 (linux)"});

  // A log rotator moves the file and sends SIGHUP: the collector writes a new one.
  EXPECT_NE(test::ReadFile(log).find("serving " + collector.url()), std::string::npos);
  std::filesystem::rename(log, log + ".1");
  ::kill(collector.pid(), SIGHUP);
  for (int i = 0; i < 500 && test::ReadFile(log).find("log reopened") == std::string::npos; ++i) {
    EXPECT_EQ(Curl({collector.url() + "/health"}), "200");
  }
  EXPECT_NE(test::ReadFile(log).find("log reopened"), std::string::npos);
  const int status = collector.Signal(SIGTERM);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// Backups taken while a collector stores posts: each is a store of its own, of one moment (every
// body with its records), that report reads; no backup replaces a file. PostgreSQL is left to
// pg_dump, which the refusal names.
TEST_P(CollectServiceTest, BackupsWhilePostingAreWholeStores) {
  test::CollectorProcess collector;
  ASSERT_TRUE(collector.Start(db_));
  const std::string first = temp_.Child("first.db");
  int status = -1;
  if (GetParam().postgres) {
    test::RunCollector({"backup", "--db", db_, "--to", first}, status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_FALSE(std::filesystem::exists(first));
    return;
  }
  // A poster on its own thread, from before the first backup until after the last.
  std::mutex mutex;
  std::condition_variable changed;
  int posted = 0;
  bool stop = false;
  std::thread poster([&] {
    for (;;) {
      {
        const std::lock_guard<std::mutex> lock(mutex);
        if (stop) return;
      }
      const bool stored = Curl({"-d", test::CounterBody("P", "K", "V", "numStarts"),
                                collector.url() + "/"}) == "204";
      EXPECT_TRUE(stored);
      const std::lock_guard<std::mutex> lock(mutex);
      posted += stored ? 1 : 0;
      changed.notify_all();
      if (!stored) return;
    }
  });
  std::vector<std::string> backups;
  for (int i = 0; i < 3; ++i) {
    {
      // Each backup starts after more posts were stored, while the poster goes on.
      std::unique_lock<std::mutex> lock(mutex);
      const int seen = posted;
      changed.wait(lock, [&] { return posted >= seen + 3; });
    }
    backups.push_back(temp_.Child("backup-" + std::to_string(i) + ".db"));
    const std::string out =
        test::RunCollector({"backup", "--db", db_, "--to", backups.back()}, status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
  }
  {
    const std::lock_guard<std::mutex> lock(mutex);
    stop = true;
  }
  poster.join();
  for (const std::string& backup : backups) {
    SCOPED_TRACE(backup);
    const auto bodies = QueryRows(backup, "SELECT count(*) FROM bodies");
    ASSERT_EQ(bodies.size(), 1u);
    EXPECT_GE(std::stoi(bodies[0]), 3);
    // One moment: every body has its one event, and no event lacks its body.
    EXPECT_EQ(QueryRows(backup, "SELECT count(*) FROM events"), bodies);
    EXPECT_EQ(QueryRows(backup,
                        "SELECT count(*) FROM events WHERE body_id NOT IN "
                        "(SELECT id FROM bodies)"),
              std::vector<std::string>{"0"});
    EXPECT_NE(test::RunCollector({"report", "--db", backup}, status).find("Posts accepted: "),
              std::string::npos);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  // A later backup is never taken over an earlier one.
  const std::string before = test::ReadFile(backups[0]);
  test::RunCollector({"backup", "--db", db_, "--to", backups[0]}, status);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_TRUE(test::ReadFile(backups[0]) == before);
  EXPECT_EQ(collector.Signal(SIGTERM), 0);
}

// The service's unit gives the collector nothing it does not need: systemd rates its exposure
// at most 2.0 (of 10), where it is installed.
TEST(CollectUnitTest, SystemdRatesTheUnitSafe) {
  if (std::system("systemd-analyze --version >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "no systemd-analyze on this machine";
  }
  std::string out;
  const std::string command =
      std::string("systemd-analyze security --offline=yes '") + HALV_COLLECT_UNIT + "' 2>&1";
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
    ::pclose(pipe);
  }
  const std::string kLevel = "Overall exposure level for halvane-collect.service: ";
  const std::size_t at = out.find(kLevel);
  ASSERT_NE(at, std::string::npos) << out;
  EXPECT_LE(std::stod(out.substr(at + kLevel.size())), 2.0) << out;
}

TEST_P(CollectServiceTest, ReportFormatsRangesAndPruneFromTheCommandLine) {
  {
    test::CollectorProcess collector;
    ASSERT_TRUE(collector.Start(db_));
    EXPECT_EQ(Curl({"-d", test::TransferBody("=P", "K", "V", "T", "completed", "2048", "2"),
                    collector.url() + "/"}),
              "204");
    EXPECT_EQ(collector.Signal(SIGTERM), 0);
  }
  int status = -1;
  EXPECT_EQ(test::RunCollector({"report", "--db", db_, "--format", "csv", "--until", "2000-01-01"},
                               status),
            "partner,package,version,started,completed,failed,canceled,suspended,success rate,"
            "transfers,bytes delivered,median s,p90 s,median rate,p90 rate\r\n");
  const std::string csv = test::RunCollector(
      {"report", "--db", db_, "--format", "csv", "--since", "2000-01-01"}, status);
  EXPECT_EQ(csv.substr(csv.find("\r\n") + 2), "'=P,K,V,0,0,0,0,0,,1,2048,2,2,1024,1024\r\n");
  EXPECT_NE(test::RunCollector({"report", "--db=" + db_, "--format=json"}, status)
                .find("\"bytes_delivered\": 2048"),
            std::string::npos);
  EXPECT_EQ(test::RunCollector({"prune", "--db", db_, "--before", "2999-12-31T23:59"}, status),
            "removed 1 posts received before 2999-12-31T23:59:00.000Z\n");
  EXPECT_EQ(QueryRows(db_, "SELECT count(*) FROM transfers"), std::vector<std::string>{"0"});
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"report", "--db", db_, "--format", "xml"},
        {"report", "--db", db_, "--since", "2026-02-30"},
        {"report", "--db", db_, "--table", "nodes"},
        {"prune", "--db", db_},
        {"serve", "--db", db_, "--trust-proxy", "10.0.0.0/40"},
        {"serve", "--db", db_, "--pool", "0"}}) {
    test::RunCollector(args, status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << args[2] << " " << args.back();
  }
}

INSTANTIATE_TEST_SUITE_P(Stores, CollectServiceTest, testing::ValuesIn(test::kStoreKinds),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace halv::collect
