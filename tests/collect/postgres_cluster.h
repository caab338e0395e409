#ifndef HALV_TESTS_COLLECT_POSTGRES_CLUSTER_H_
#define HALV_TESTS_COLLECT_POSTGRES_CLUSTER_H_

#include <sys/types.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

// A throw-away PostgreSQL 15 cluster for the collector's tests: made with initdb in a private
// folder, listening on a unix socket in that folder and on 127.0.0.1 at a free port only, with
// password authentication over TCP (the password in a PGPASSFILE the tests' processes inherit),
// stopped by its process id when the program ends. Run as the postgres user when the tests run as root
// (initdb and postgres refuse root). A missing server is a test failure, never a skip.
// Ownership: one per test program, registered as a GoogleTest environment. Threads: the main
// test thread.
namespace halv::collect::test {

class PostgresCluster : public testing::Environment {
 public:
  // The program's cluster, registered as an environment; started by the first NewDatabase, so
  // a test program whose selected tests need no server starts none.
  static PostgresCluster& Get();

  void TearDown() override;

  // Creates an empty database and answers its URI (without a password), or "" with a test
  // failure when the cluster is not running.
  std::string NewDatabase();

  // Runs `sql` in the database of `uri` and answers every row as its columns joined by "|"
  // (NULL as "NULL"). A failure is a test failure.
  static std::vector<std::string> Query(const std::string& uri, const std::string& sql);

 private:
  void Start();
  bool StartServer();

  bool started_ = false;
  std::string folder_;
  int port_ = 0;
  pid_t pid_ = -1;
  int databases_ = 0;
};

}  // namespace halv::collect::test

#endif  // HALV_TESTS_COLLECT_POSTGRES_CLUSTER_H_
