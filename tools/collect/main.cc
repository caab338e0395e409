// halvane-collect: keeps the analytics the updater posts in an SQLite database and summarises
// them for the people who publish packages.

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "build_version.h"
#include "collect_database.h"
#include "collect_server.h"

namespace {

using halv::collect::CollectDatabase;

const char kHelp[] =
    "Usage: halvane-collect serve --db FILE [--listen HOST:PORT] [--pid-file FILE]\n"
    "       halvane-collect report --db FILE\n"
    "\n"
    "serve   accepts the updater's analytics posts (transfer records, event objects and\n"
    "        arrays of event and node objects) at the root path and keeps each body and its\n"
    "        records in the database, which is created when missing. Once listening it prints\n"
    "        one line: the URL to configure as the analytics endpoints. SIGTERM or SIGINT stop\n"
    "        it after the body being stored. Bodies that are not JSON, are over 1 MiB or are\n"
    "        none of the known documents are answered with a 4xx status and counted.\n"
    "report  prints posts accepted and refused, transfers started, completed, failed and\n"
    "        canceled per package and version with the bytes delivered, errors by kind, and\n"
    "        each node's bytes and throughput. It may run while a collector serves the file.\n"
    "\n"
    "Options:\n"
    "  --db FILE         the SQLite database.\n"
    "  --listen HOST:PORT  numeric address to listen on (default 127.0.0.1:18090; port 0\n"
    "                    takes a free port; IPv6 as [ADDRESS]:PORT).\n"
    "  --pid-file FILE   written with the process id once listening, removed on exit.\n"
    "  --help            show this text; --version shows the program's version.\n";

int Usage(const std::string& message) {
  std::cerr << "halvane-collect: " << message << "\nTry 'halvane-collect --help'.\n";
  return 2;
}

// Writes the pid under a temporary name first, so a reader never sees a partial file.
bool WritePidFile(const std::string& path) {
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << ::getpid() << "\n";
    if (!out.flush()) return false;
  }
  return std::rename(temporary.c_str(), path.c_str()) == 0;
}

int Serve(const std::string& db, const std::string& listen, const std::string& pidFile) {
  const auto endpoint = halv::collect::ParseListenAddress(listen);
  ::signal(SIGPIPE, SIG_IGN);
  CollectDatabase database(db, CollectDatabase::Open::CreateIfMissing);
  halv::collect::CollectServer server(database, endpoint);
  if (!pidFile.empty() && !WritePidFile(pidFile)) {
    std::cerr << "halvane-collect: cannot write " << pidFile << "\n";
    return 1;
  }
  std::cout << halv::collect::EndpointUrl(server.LocalEndpoint()) << std::endl;
  server.Run();
  if (!pidFile.empty()) std::remove(pidFile.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage("missing command");
  if (args[0] == "--help" || args[0] == "-h") {
    std::cout << kHelp;
    return 0;
  }
  if (args[0] == "--version") {
    std::cout << "halvane-collect " HALV_BUILD_VERSION "\n";
    return 0;
  }
  const std::string command = args[0];
  if (command != "serve" && command != "report") return Usage("unknown command '" + command + "'");
  std::string db;
  std::string listen = "127.0.0.1:18090";
  std::string pidFile;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kHelp;
      return 0;
    }
    const bool takesValue =
        arg == "--db" || (command == "serve" && (arg == "--listen" || arg == "--pid-file"));
    if (!takesValue) return Usage("unknown option '" + arg + "'");
    if (i + 1 >= args.size()) return Usage(arg + " needs a value");
    const std::string& value = args[++i];
    (arg == "--db" ? db : arg == "--listen" ? listen : pidFile) = value;
  }
  if (db.empty()) return Usage("--db FILE is required");
  try {
    if (command == "serve") return Serve(db, listen, pidFile);
    CollectDatabase database(db, CollectDatabase::Open::ExistingOnly);
    std::cout << database.Report();
    return 0;
  } catch (const std::invalid_argument& error) {
    return Usage(std::string("--listen ") + error.what());
  } catch (const std::exception& error) {
    std::cerr << "halvane-collect: " << error.what() << "\n";
    return 1;
  }
}
