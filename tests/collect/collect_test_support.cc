#include "collect_test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <gtest/gtest.h>

#include "collect_store.h"
#include "postgres_cluster.h"

extern char** environ;

namespace halv::collect::test {
namespace {

std::string Key(const std::string& partner, const std::string& package,
                const std::string& version) {
  return R"({"pid":")" + partner + R"(","pkgid":")" + package + R"(","vid":")" + version + "\",";
}

// Starts the collector binary with `args`, its standard output into a new pipe whose reading
// end is returned in `output`.
pid_t Spawn(const std::vector<std::string>& args, int& output) {
  std::vector<std::string> all{HALV_COLLECT_BINARY};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& arg : all) argv.push_back(arg.data());
  argv.push_back(nullptr);
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe";
    return -1;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (rc != 0) {
    ADD_FAILURE() << "cannot start " << argv[0];
    ::close(fds[0]);
    return -1;
  }
  output = fds[0];
  return pid;
}

int WaitFor(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

}  // namespace

std::string CounterObject(const std::string& partner, const std::string& package,
                          const std::string& version, const std::string& counter) {
  return Key(partner, package, version) + R"("metrics":{")" + counter +
         R"(":"1"},"dimensions":{}})";
}

std::string CounterBody(const std::string& partner, const std::string& package,
                        const std::string& version, const std::string& counter) {
  return CounterObject(partner, package, version, counter) + "\n";
}

std::string ErrorObject(const std::string& partner, const std::string& package,
                        const std::string& version, const std::string& counter,
                        const std::string& error) {
  return Key(partner, package, version) + R"("metrics":{")" + counter +
         R"(":"1"},"dimensions":{"error":")" + error + "\"}}";
}

std::string NodeObject(const std::string& partner, const std::string& package,
                       const std::string& version, const std::string& cdn, const std::string& bytes,
                       const std::string& requestTime) {
  return Key(partner, package, version) + R"("metrics":{"bytes":")" + bytes +
         R"(","requestTime":")" + requestTime + R"("},"dimensions":{"cdn":")" + cdn + "\"}}";
}

std::string TransferBody(const std::string& partner, const std::string& package,
                         const std::string& version, const std::string& transfer,
                         const std::string& status, const std::string& bytes,
                         const std::string& duration) {
  return Key(partner, package, version) + R"("tid":")" + transfer + R"(","status":")" + status +
         R"(","transferBytes":")" + bytes + R"(","duration":")" + duration + "\"}\n";
}

std::vector<std::string> QueryRows(const std::string& path, const std::string& sql) {
  if (IsPostgresUri(path)) return PostgresCluster::Query(path, sql);
  std::vector<std::string> rows;
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
    ADD_FAILURE() << path << ": " << sqlite3_errmsg(db);
    sqlite3_close(db);
    return rows;
  }
  sqlite3_busy_timeout(db, 10000);
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db);
  } else {
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
      std::string row;
      for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
        const auto* text = sqlite3_column_text(stmt, i);
        if (i > 0) row += "|";
        if (!text) row += "NULL";
        if (text) {
          row.append(reinterpret_cast<const char*>(text),
                     static_cast<std::size_t>(sqlite3_column_bytes(stmt, i)));
        }
      }
      rows.push_back(std::move(row));
    }
    if (rc != SQLITE_DONE) ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db);
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return rows;
}

CollectorProcess::~CollectorProcess() {
  if (pid_ > 0) Signal(SIGKILL);
}

bool CollectorProcess::Start(const std::string& db, const std::vector<std::string>& extra) {
  std::vector<std::string> args{"serve", "--db", db, "--listen", "127.0.0.1:0"};
  args.insert(args.end(), extra.begin(), extra.end());
  int output = -1;
  pid_ = Spawn(args, output);
  if (pid_ < 0) return false;
  std::string line;
  char c;
  while (::read(output, &c, 1) == 1 && c != '\n') line += c;
  ::close(output);
  if (line.rfind("http://127.0.0.1:", 0) != 0) {
    ADD_FAILURE() << "collector printed '" << line << "'";
    Signal(SIGKILL);
    return false;
  }
  url_ = line;
  return true;
}

int CollectorProcess::Signal(int signal) {
  if (pid_ <= 0) return -1;
  ::kill(pid_, signal);
  const int status = WaitFor(pid_);
  pid_ = -1;
  return status;
}

std::string RunCollector(const std::vector<std::string>& args, int& status) {
  int output = -1;
  const pid_t pid = Spawn(args, output);
  std::string text;
  if (pid < 0) return text;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(output, buffer, sizeof buffer)) > 0) text.append(buffer, n);
  ::close(output);
  status = WaitFor(pid);
  return text;
}


std::string StoreKind::NewStore(const TempDir& temp) const {
  return postgres ? PostgresCluster::Get().NewDatabase() : temp.Child("collect.db");
}

std::string StoreKind::BodyText() const {
  return postgres ? "convert_from(body, 'UTF8')" : "CAST(body AS TEXT)";
}

const StoreKind kStoreKinds[2] = {{"SQLite", false}, {"PostgreSQL", true}};

}  // namespace halv::collect::test
