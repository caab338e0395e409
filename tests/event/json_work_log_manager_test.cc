#include "event/json_work_log_manager.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "event/json_writer.h"
#include "file/posix_shared_file.h"
#include "log_test_support.h"
#include "platform/system.h"
#include "start_gate.h"
#include "temp_dir.h"
#include "work/simple_work.h"
#include "work/work_status.h"

namespace halv {
namespace {

namespace fs = boost::filesystem;
using boost::property_tree::ptree;

constexpr char kLogsFolder[] = "Mirthwell Technologies/Halvane Delivery/logs";
// 2024-03-05 06:07:08 UTC.
const std::chrono::system_clock::time_point kNow =
    std::chrono::system_clock::from_time_t(1709618828);
constexpr char kPrefix[] = "[2024-03-05 06:07:08] ";
constexpr char kFileName[] = "Log.2024.03.05.06.07.08.txt";

// A leaf that describes itself as "name" = "probe", important when asked; its description
// throws when told to, and counts how often it was asked for.
class ProbeWork : public SimpleWork {
 public:
  explicit ProbeWork(bool important, bool throwing = false)
      : important_(important), throwing_(throwing) {}
  void Describe(ptree& tree) const override {
    ++described;
    if (throwing_) throw std::runtime_error("no description");
    tree.put("name", "probe");
  }
  bool IsImportant() const override { return important_; }

  mutable std::atomic<int> described{0};
  WorkStatus ExecuteTask() override { return WorkStatus(WorkResult::Success); }
  void Interrupt() override {}

 private:
  const bool important_;
  const bool throwing_;
};

class JsonWorkLogManagerTest : public ::testing::Test {
 protected:
  std::unique_ptr<JsonWorkLogManager> MakeManager(std::int32_t logLevel) {
    return std::make_unique<JsonWorkLogManager>(2, logLevel, GetSystemTempDirectory(), kLogsFolder,
                                                &factory_, [] { return kNow; });
  }
  std::string LogFolder() const { return homes_.cachePath() + "/" + kLogsFolder; }
  std::string LogFile(const std::string& name = kFileName) const {
    return LogFolder() + "/" + name;
  }
  std::set<std::string> LogFolderNames() const {
    std::set<std::string> names;
    boost::system::error_code error;
    for (fs::directory_iterator it(LogFolder(), error), end; !error && it != end;
         it.increment(error)) {
      names.insert(it->path().filename().string());
    }
    return names;
  }
  void Touch(const std::string& name) const {
    fs::create_directories(LogFolder());
    std::ofstream(LogFile(name)) << "old\n";
  }

  test::ScopedHomes homes_;
  PosixSharedFileFactory factory_;
};

TEST_F(JsonWorkLogManagerTest, LineIsUtcPrefixThenCompactJson) {
  {
    auto manager = MakeManager(-9);
    const std::shared_ptr<TrackEventWork> event = manager->CreateEventWork(kLevelTransferEvent);
    event->tree.put("event", "Start");
    event->tree.put("params.name", "caf\xC3\xA9");
    event->tree.put("params.none", kJsonEmptyObject);
    event->tree.put("params.list", kJsonEmptyArray);
    ptree nodes;
    nodes.push_back({"", ptree("a")});
    nodes.push_back({"", ptree("b")});
    event->tree.add_child("params.nodes", nodes);
    manager->Submit(event);
  }
  EXPECT_EQ(test::ReadFile(LogFile()),
            std::string(kPrefix) +
                R"({"event":"Start","params":{"name":"caf\u00C3\u00A9","none":{},"list":[],)"
                R"("nodes":["a","b"]}})"
                "\n");
}

TEST_F(JsonWorkLogManagerTest, WorkEventsFollowTheLevelRules) {
  enum class Report { Complete, Retry };
  struct Case {
    std::int32_t logLevel;
    Report report;
    bool important;
    WorkResult result;
    bool written;
  };
  const Case cases[] = {
      // The default level writes everything but plain completions.
      {-9, Report::Complete, false, WorkResult::Success, false},
      {-9, Report::Complete, false, WorkResult::Failure, false},
      {-9, Report::Complete, false, WorkResult::Error, true},
      {-9, Report::Complete, false, WorkResult::Retryable, true},
      {-9, Report::Complete, true, WorkResult::Success, true},
      {-9, Report::Complete, true, WorkResult::Error, true},
      {-9, Report::Retry, false, WorkResult::Retryable, true},
      {-9, Report::Retry, true, WorkResult::Retryable, true},
      // Single bits select exactly their events.
      {kLevelComplete, Report::Complete, false, WorkResult::Success, true},
      {kLevelComplete, Report::Complete, true, WorkResult::Success, true},
      {kLevelComplete, Report::Complete, false, WorkResult::Error, false},
      {kLevelFailed, Report::Complete, true, WorkResult::Retryable, true},
      {kLevelImportant, Report::Retry, true, WorkResult::Retryable, true},
      {kLevelImportant, Report::Retry, false, WorkResult::Retryable, false},
      {kLevelTransferEvent, Report::Complete, true, WorkResult::Error, false},
      // Level 0 writes nothing at all.
      {0, Report::Complete, true, WorkResult::Error, false},
      {0, Report::Retry, true, WorkResult::Retryable, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "log level " << c.logLevel << ", retry " << (c.report == Report::Retry)
                 << ", important " << c.important << ", result " << static_cast<int>(c.result));
    fs::remove_all(LogFolder());
    WorkStatus status(c.result);
    status.retry = c.report == Report::Retry;
    auto work = std::make_shared<ProbeWork>(c.important);
    {
      auto manager = MakeManager(c.logLevel);
      if (c.report == Report::Complete) {
        manager->OnWorkComplete(work, status);
      } else {
        manager->OnWorkRetry(work, status);
      }
    }
    if (!c.written) {
      EXPECT_TRUE(LogFolderNames().empty());
      EXPECT_EQ(work->described, 0) << "a line the level drops costs no description";
      continue;
    }
    const std::string event = c.report == Report::Complete ? "OnWorkComplete" : "OnSimpleWorkRetry";
    EXPECT_EQ(test::ReadFile(LogFile()),
              std::string(kPrefix) + R"({"event":")" + event + R"(","params":{"name":"probe",)" +
                  (c.important ? R"("important":"true",)" : "") + R"("workStatus":{"result":")" +
                  std::to_string(static_cast<int>(c.result)) + R"(","retry":")" +
                  (status.retry ? "true" : "false") + "\"}}}\n");
  }
}

TEST_F(JsonWorkLogManagerTest, WorkWhoseDescriptionThrowsWritesNothing) {
  {
    auto manager = MakeManager(-1);
    manager->OnWorkComplete(std::make_shared<ProbeWork>(true, true), WorkStatus(WorkResult::Error));
  }
  EXPECT_TRUE(LogFolderNames().empty());
}

TEST_F(JsonWorkLogManagerTest, TakenNamesGetNumberedSuffixes) {
  Touch(kFileName);
  Touch(std::string(kFileName) + ".1");
  {
    auto manager = MakeManager(-9);
    manager->WriteLine(kLevelTransferEvent, "{}\n");
    manager->WriteLine(kLevelTransferEvent, "[]\n");
  }
  EXPECT_EQ(test::ReadFile(LogFile(std::string(kFileName) + ".2")),
            std::string(kPrefix) + "{}\n" + kPrefix + "[]\n");
  EXPECT_EQ(test::ReadFile(LogFile()), "old\n");
  EXPECT_EQ(LogFolderNames().size(), 3u);
}

TEST_F(JsonWorkLogManagerTest, NameSearchGivesUpAfterOneHundredSuffixesThenRetries) {
  // Folders under the names: taken like files, yet never pruned as old log files.
  fs::create_directories(LogFile());
  for (int n = 1; n <= LogManager::kMaxNameSuffix; ++n) {
    fs::create_directories(LogFile(std::string(kFileName) + "." + std::to_string(n)));
  }
  const std::string freed = std::string(kFileName) + ".57";
  {
    auto manager = MakeManager(-9);
    manager->WriteLine(kLevelTransferEvent, "lost\n");
    EXPECT_EQ(LogFolderNames().size(), 101u);
    // The line is lost; once a name is free, the next line takes it.
    fs::remove(LogFile(freed));
    manager->WriteLine(kLevelTransferEvent, "kept\n");
  }
  EXPECT_EQ(test::ReadFile(LogFile(freed)), std::string(kPrefix) + "kept\n");
}

TEST_F(JsonWorkLogManagerTest, KeepsTheNewestTwentyLogFiles) {
  // 25 files of earlier runs, oldest first: one per hour of 2023-01-01, and suffixed ones.
  std::vector<std::string> old;
  for (int hour = 0; hour < 22; ++hour) {
    old.push_back(FormatUtcTime(std::chrono::system_clock::from_time_t(1672531200 + hour * 3600),
                                "Log.%Y.%m.%d.%H.%M.%S.txt"));
  }
  old.push_back(old.back() + ".1");
  old.push_back(old.back().substr(0, old.back().size() - 2) + ".2");
  old.push_back(old.back().substr(0, old.back().size() - 2) + ".10");
  for (const std::string& name : old) Touch(name);
  const std::vector<std::string> unrelated = {"notes.txt", "Log.2023.01.01.txt",
                                              "Log.2023.01.01.00.00.00.txt.x"};
  for (const std::string& name : unrelated) Touch(name);
  {
    auto manager = MakeManager(-9);
    manager->WriteLine(kLevelTransferEvent, "new\n");
  }
  std::set<std::string> expected(old.end() - 19, old.end());
  expected.insert(kFileName);
  expected.insert(unrelated.begin(), unrelated.end());
  EXPECT_EQ(LogFolderNames(), expected);
}

TEST_F(JsonWorkLogManagerTest, WritersOnSeveralThreadsDeliverEveryWholeLine) {
  constexpr int kThreads = 4;
  constexpr int kEventsPerThread = 200;
  {
    auto manager = MakeManager(-9);
    test::StartGate gate;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        gate.Wait();
        for (int i = 0; i < kEventsPerThread; ++i) {
          if (i % 2 == 0) {
            const std::shared_ptr<TrackEventWork> event =
                manager->CreateEventWork(kLevelTransferEvent);
            event->tree.put("event", "Thread");
            event->tree.put("params.thread", t);
            event->tree.put("params.index", i);
            manager->Submit(event);
          } else {
            // Completions arrive as from the main work manager's threads.
            manager->OnWorkComplete(std::make_shared<ProbeWork>(false),
                                    WorkStatus(WorkResult::Error));
          }
        }
      });
    }
    gate.Open();
    for (std::thread& thread : threads) thread.join();
    // Destruction drains: every event submitted above, and every event its set-up works submit,
    // is written before the manager is gone.
  }
  std::istringstream lines(test::ReadFile(LogFile()));
  std::string line;
  std::set<std::pair<int, int>> threadEvents;
  int completions = 0;
  while (std::getline(lines, line)) {
    ASSERT_EQ(line.compare(0, sizeof(kPrefix) - 1, kPrefix), 0) << line;
    std::istringstream json(line.substr(sizeof(kPrefix) - 1));
    ptree tree;
    ASSERT_NO_THROW(boost::property_tree::read_json(json, tree)) << line;
    const std::string event = tree.get<std::string>("event");
    if (event == "Thread") {
      threadEvents.insert({std::stoi(tree.get<std::string>("params.thread")),
                           std::stoi(tree.get<std::string>("params.index"))});
    } else {
      EXPECT_EQ(event, "OnWorkComplete");
      ++completions;
    }
  }
  EXPECT_EQ(threadEvents.size(), static_cast<std::size_t>(kThreads * kEventsPerThread / 2));
  EXPECT_EQ(completions, kThreads * kEventsPerThread / 2);
}

}  // namespace
}  // namespace halv
