#ifndef HALV_TESTS_COLLECT_COLLECT_TEST_SUPPORT_H_
#define HALV_TESTS_COLLECT_COLLECT_TEST_SUPPORT_H_

#include <sys/types.h>

#include <ostream>
#include <string>
#include <vector>

#include "temp_dir.h"

// Helpers of the collector's tests: the updater's documents, database queries and the collector
// process. Owned by one test thread each.
namespace halv::collect::test {

using halv::test::ReadFile;
using halv::test::TempDir;

// The compact documents the updater writes (objects without, bodies with the final line feed).
std::string CounterObject(const std::string& partner, const std::string& package,
                          const std::string& version, const std::string& counter);
std::string CounterBody(const std::string& partner, const std::string& package,
                        const std::string& version, const std::string& counter);
std::string ErrorObject(const std::string& partner, const std::string& package,
                        const std::string& version, const std::string& counter,
                        const std::string& error);
std::string NodeObject(const std::string& partner, const std::string& package,
                       const std::string& version, const std::string& cdn, const std::string& bytes,
                       const std::string& requestTime);
std::string TransferBody(const std::string& partner, const std::string& package,
                         const std::string& version, const std::string& transfer,
                         const std::string& status, const std::string& bytes,
                         const std::string& duration);

// Runs `sql` on the store `path` (an SQLite file, created when missing, or a PostgreSQL URI)
// and answers every row as its columns joined by "|" (NULL as "NULL"). A failure is a test
// failure and answers what was read so far.
std::vector<std::string> QueryRows(const std::string& path, const std::string& sql);

// The two stores every store and server case runs against.
struct StoreKind {
  const char* name;
  bool postgres;
  // A fresh, empty store: an SQLite file in `temp` or a new database in the test cluster.
  std::string NewStore(const TempDir& temp) const;
  // SQL for a body's text in this store's dialect.
  std::string BodyText() const;
};
extern const StoreKind kStoreKinds[2];
inline void PrintTo(const StoreKind& kind, std::ostream* out) { *out << kind.name; }

// A halvane-collect process started by the test, stopped by its pid only.
class CollectorProcess {
 public:
  CollectorProcess() = default;
  // Kills the process if it still runs.
  ~CollectorProcess();
  CollectorProcess(const CollectorProcess&) = delete;
  CollectorProcess& operator=(const CollectorProcess&) = delete;

  // Starts `halvane-collect serve --db DB --listen 127.0.0.1:0 EXTRA...` and waits for the line
  // with its URL. False (with a test failure) when it exits before.
  bool Start(const std::string& db, const std::vector<std::string>& extra = {});
  const std::string& url() const { return url_; }
  pid_t pid() const { return pid_; }

  // Sends `signal` and waits for the exit; answers the wait status.
  int Signal(int signal);

 private:
  pid_t pid_ = -1;
  std::string url_;
};

// Runs `halvane-collect ARGS...`; answers its standard output and sets `status` to its wait
// status.
std::string RunCollector(const std::vector<std::string>& args, int& status);

}  // namespace halv::collect::test

#endif  // HALV_TESTS_COLLECT_COLLECT_TEST_SUPPORT_H_
