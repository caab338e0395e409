#include "postgres_cluster.h"

#include <fcntl.h>
#include <grp.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

namespace halv::collect::test {
namespace {

const char kBin[] = "/usr/lib/postgresql/15/bin/";
const char kUser[] = "halv";
const char kPassword[] = "collector-test-secret";

// Starts `args` as the postgres user when running as root (as ourselves otherwise), standard
// output and error into `log`. Only async-signal-safe calls after fork.
pid_t SpawnAs(const std::vector<std::string>& args, const std::string& log) {
  std::vector<char*> argv;
  std::vector<std::string> copy = args;
  for (auto& arg : copy) argv.push_back(arg.data());
  argv.push_back(nullptr);
  uid_t uid = ::geteuid();
  gid_t gid = ::getegid();
  const bool root = uid == 0;
  if (root) {
    const passwd* user = ::getpwnam("postgres");
    if (!user) return -1;
    uid = user->pw_uid;
    gid = user->pw_gid;
  }
  const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (out < 0) return -1;
  if (root && ::fchown(out, uid, gid) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out, STDOUT_FILENO);
    ::dup2(out, STDERR_FILENO);
    if (root && (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)) {
      ::_exit(126);
    }
    // A test program that dies without its teardown takes its server with it.
    ::prctl(PR_SET_PDEATHSIG, SIGQUIT);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out);
  return pid;
}

int Wait(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// A port free on 127.0.0.1 a moment ago (the server may still lose it: the caller retries).
int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(fd);
  return port;
}

// A folder the server's user owns, below a path it can walk: under the build's temporary area
// when every folder above lets others through, in /tmp otherwise.
std::string MakeFolder() {
  std::string base = std::filesystem::temp_directory_path().string();
  for (std::filesystem::path p = base; p != p.root_path(); p = p.parent_path()) {
    struct stat info;
    if (::stat(p.c_str(), &info) != 0 || (info.st_mode & S_IXOTH) == 0) {
      base = "/tmp";
      break;
    }
  }
  std::string pattern = base + "/halv-pg-XXXXXX";
  if (!::mkdtemp(pattern.data())) return "";
  if (::geteuid() == 0) {
    const passwd* user = ::getpwnam("postgres");
    if (!user || ::chown(pattern.c_str(), user->pw_uid, user->pw_gid) != 0) return "";
  }
  return pattern;
}

}  // namespace

PostgresCluster& PostgresCluster::Get() {
  static PostgresCluster* const cluster = [] {
    auto* made = new PostgresCluster;
    testing::AddGlobalTestEnvironment(made);  // GoogleTest owns it and calls TearDown
    return made;
  }();
  return *cluster;
}

void PostgresCluster::Start() {
  started_ = true;
  ASSERT_TRUE(std::filesystem::exists(std::string(kBin) + "postgres"))
      << "PostgreSQL 15 is not installed (postgresql-15): the collector's PostgreSQL cases "
         "cannot run";
  folder_ = MakeFolder();
  ASSERT_FALSE(folder_.empty()) << "cannot make a folder for the test cluster";
  const std::string passwordFile = folder_ + "/password";
  std::ofstream(passwordFile) << kPassword << "\n";
  if (::geteuid() == 0) {
    const passwd* user = ::getpwnam("postgres");
    ASSERT_EQ(::chown(passwordFile.c_str(), user->pw_uid, user->pw_gid), 0);
  }
  const pid_t initdb =
      SpawnAs({std::string(kBin) + "initdb", "-D", folder_ + "/data", "-U", kUser,
               "--pwfile=" + passwordFile, "--auth-local=trust", "--auth-host=scram-sha-256",
               "-E", "UTF8", "--locale=C", "--no-sync"},
              folder_ + "/initdb.log");
  ASSERT_GT(initdb, 0);
  const int status = Wait(initdb);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "initdb failed; see " << folder_ << "/initdb.log";
  std::filesystem::remove(passwordFile);
  ASSERT_TRUE(StartServer()) << "the test cluster did not start; see " << folder_ << "/server.log";
  // The password reaches the collector the way an operator's would: through a PGPASSFILE.
  const std::string passFile = folder_ + "/pgpass";
  std::ofstream(passFile) << "127.0.0.1:" << port_ << ":*:" << kUser << ":" << kPassword << "\n";
  ::chmod(passFile.c_str(), 0600);
  ::setenv("PGPASSFILE", passFile.c_str(), 1);
}

bool PostgresCluster::StartServer() {
  for (int attempt = 0; attempt < 10; ++attempt) {
    port_ = FreePort();
    pid_ = SpawnAs({std::string(kBin) + "postgres", "-D", folder_ + "/data", "-k", folder_, "-p",
                    std::to_string(port_), "-c", "listen_addresses=127.0.0.1", "-c", "fsync=off",
                    "-c", "synchronous_commit=off", "-c", "max_connections=200"},
                   folder_ + "/server.log");
    if (pid_ <= 0) return false;
    const std::string conninfo = "host=" + folder_ + " port=" + std::to_string(port_) +
                                 " user=" + kUser + " dbname=postgres connect_timeout=5";
    // The server answers within seconds or has exited (a lost port, most likely).
    for (int wait = 0; wait < 600; ++wait) {
      if (PQping(conninfo.c_str()) == PQPING_OK) return true;
      int status;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      Wait(pid_);
      pid_ = -1;
    }
  }
  return false;
}

void PostgresCluster::TearDown() {
  if (pid_ > 0) {
    ::kill(pid_, SIGINT);  // fast shutdown
    Wait(pid_);
    pid_ = -1;
  }
  if (!folder_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
}

std::string PostgresCluster::NewDatabase() {
  if (!started_) Start();
  if (pid_ <= 0) {
    ADD_FAILURE() << "the PostgreSQL test cluster is not running";
    return "";
  }
  const std::string name = "collect" + std::to_string(++databases_);
  const std::string base =
      "postgresql://" + std::string(kUser) + "@127.0.0.1:" + std::to_string(port_) + "/";
  Query(base + "postgres", "CREATE DATABASE " + name);
  return base + name;
}

std::vector<std::string> PostgresCluster::Query(const std::string& uri, const std::string& sql) {
  std::vector<std::string> rows;
  PGconn* conn = PQconnectdb(uri.c_str());
  if (PQstatus(conn) != CONNECTION_OK) {
    ADD_FAILURE() << uri << ": " << PQerrorMessage(conn);
    PQfinish(conn);
    return rows;
  }
  PGresult* result = PQexec(conn, sql.c_str());
  const ExecStatusType status = PQresultStatus(result);
  if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
    ADD_FAILURE() << sql << ": " << PQresultErrorMessage(result);
  } else {
    for (int r = 0; r < PQntuples(result); ++r) {
      std::string row;
      for (int c = 0; c < PQnfields(result); ++c) {
        if (c > 0) row += "|";
        row += PQgetisnull(result, r, c) ? "NULL" : PQgetvalue(result, r, c);
      }
      rows.push_back(std::move(row));
    }
  }
  PQclear(result);
  PQfinish(conn);
  return rows;
}

}  // namespace halv::collect::test
