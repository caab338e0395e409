// halvane-collect: keeps the analytics the updater posts in an SQLite file or a PostgreSQL
// database and summarises them for the people who publish packages.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "build_version.h"
#include "collect_report.h"
#include "collect_server.h"
#include "collect_store.h"
#include "sqlite_store.h"
#include "store_pool.h"

namespace {

namespace collect = halv::collect;

const char kHelp[] =
    "Usage: halvane-collect serve --db STORE [--listen HOST:PORT] [--pool N] [--pid-file FILE]\n"
    "                             [--trust-proxy CIDR]... [--log FILE]\n"
    "       halvane-collect report --db STORE [--format text|json|csv] [--table NAME]\n"
    "                              [--since TIME] [--until TIME]\n"
    "       halvane-collect prune --db STORE --before TIME\n"
    "       halvane-collect backup --db STORE --to FILE\n"
    "\n"
    "serve   accepts the updater's analytics posts (transfer records, event objects and\n"
    "        arrays of event and node objects) at the root path and keeps each body, its\n"
    "        records and its User-Agent in the store, which is created (or migrated) when\n"
    "        needed. GET or HEAD /health answers 200 while the store answers. Once listening it\n"
    "        prints one line: the URL to configure as the analytics endpoints. SIGTERM or SIGINT\n"
    "        stop it after the bodies being stored. Bodies that are not JSON, are over 1 MiB or "
    "are\n"
    "        none of the known documents are answered with a 4xx status and counted.\n"
    "report  prints posts accepted and refused; per package and version the transfers\n"
    "        started, completed, failed, canceled and suspended, the success rate, the bytes\n"
    "        delivered and the median and 90th-percentile time and rate of completed\n"
    "        transfers; failures by cause; each node's bytes and throughput; and the clients\n"
    "        by User-Agent. It may run while collectors serve the store.\n"
    "prune   removes every post and refusal received before TIME.\n"
    "backup  copies an SQLite store, as one consistent moment, into the new file FILE while\n"
    "        collectors serve it (SQLite's online backup; copying the file itself is not a\n"
    "        backup). For PostgreSQL use pg_dump, as backup then says.\n"
    "\n"
    "Options:\n"
    "  --db STORE        an SQLite file, or a PostgreSQL URI (postgresql://USER@HOST:PORT/DB);\n"
    "                    the password comes from ~/.pgpass or PGPASSFILE, never the URI.\n"
    "  --listen HOST:PORT  numeric address to listen on (default 127.0.0.1:18090; port 0\n"
    "                    takes a free port; IPv6 as [ADDRESS]:PORT).\n"
    "  --pool N          store connections, each with a worker (default 1 for SQLite, 4 for\n"
    "                    PostgreSQL; at most 64).\n"
    "  --pid-file FILE   written with the process id once listening, removed on exit.\n"
    "  --trust-proxy CIDR  a reverse proxy (IPv4 or IPv6 address or range; repeatable): for\n"
    "                    requests from it the sender is the right-most X-Forwarded-For\n"
    "                    address outside every trusted range.\n"
    "  --log FILE        append the log here instead of standard error; reopened on SIGHUP.\n"
    "  --format F        text (default), json, or csv (one table: see --table).\n"
    "  --table NAME      the CSV table: transfers (default), failures, nodes, clients, posts.\n"
    "  --since TIME      only posts received at or after TIME (UTC: 2026-12-10 or\n"
    "                    2026-12-10T17:05:30Z); --until: only before TIME.\n"
    "  --before TIME     for prune: the first moment kept.\n"
    "  --to FILE         for backup: the backup file to create; an existing file is kept.\n"
    "  --help            show this text; --version shows the program's version.\n"
    "Every option also takes its value as --option=value.\n";

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

struct Options {
  std::map<std::string, std::vector<std::string>> values;  // every value of a repeated option
  std::string Get(const std::string& name, const std::string& otherwise = "") const {
    const auto found = values.find(name);
    return found == values.end() ? otherwise : found->second.back();
  }
};

int Serve(const Options& options) {
  boost::asio::ip::tcp::endpoint endpoint;
  try {
    endpoint = collect::ParseListenAddress(options.Get("--listen", "127.0.0.1:18090"));
  } catch (const std::invalid_argument& error) {
    return Usage(std::string("--listen ") + error.what());
  }
  const std::string db = options.Get("--db");
  const std::string poolText = options.Get("--pool", collect::IsPostgresUri(db) ? "4" : "1");
  if (poolText.empty() || poolText.size() > 2 ||
      poolText.find_first_not_of("0123456789") != std::string::npos || std::stoi(poolText) < 1 ||
      std::stoi(poolText) > 64) {
    return Usage("--pool takes a number from 1 to 64");
  }
  collect::ServerOptions serverOptions;
  if (const auto proxies = options.values.find("--trust-proxy"); proxies != options.values.end()) {
    for (const std::string& cidr : proxies->second) {
      try {
        serverOptions.proxies.Add(cidr);
      } catch (const std::invalid_argument& error) {
        return Usage(std::string("--trust-proxy ") + error.what());
      }
    }
  }
  serverOptions.logFile = options.Get("--log");
  ::signal(SIGPIPE, SIG_IGN);
  collect::CollectServer server(std::make_unique<collect::StorePool>(db, std::stoul(poolText)),
                                endpoint, std::move(serverOptions));
  const std::string pidFile = options.Get("--pid-file");
  if (!pidFile.empty() && !WritePidFile(pidFile)) {
    std::cerr << "halvane-collect: cannot write " << pidFile << "\n";
    return 1;
  }
  const std::string url = collect::EndpointUrl(server.LocalEndpoint());
  server.Log("serving " + url + " into " + collect::RedactedStoreName(db));
  std::cout << url << std::endl;
  server.Run();
  if (!pidFile.empty()) std::remove(pidFile.c_str());
  return 0;
}

int Report(const Options& options) {
  collect::ReportOptions report;
  const std::string format = options.Get("--format", "text");
  if (format == "text") {
    report.format = collect::ReportFormat::Text;
  } else if (format == "json") {
    report.format = collect::ReportFormat::Json;
  } else if (format == "csv") {
    report.format = collect::ReportFormat::Csv;
  } else {
    return Usage("--format takes text, json or csv");
  }
  report.table = options.Get("--table", "transfers");
  if (options.values.count("--table") && report.format != collect::ReportFormat::Csv) {
    return Usage("--table goes with --format csv");
  }
  for (const char* bound : {"--since", "--until"}) {
    const std::string value = options.Get(bound);
    if (value.empty()) continue;
    try {
      (bound[2] == 's' ? report.range.since : report.range.until) = collect::ParseUtcTime(value);
    } catch (const std::invalid_argument& error) {
      return Usage(std::string(bound) + " " + error.what());
    }
  }
  const auto store = collect::OpenStore(options.Get("--db"), collect::OpenMode::ExistingOnly);
  std::cout << collect::MakeReport(*store, report);
  return 0;
}

int Prune(const Options& options) {
  if (options.Get("--before").empty()) return Usage("--before TIME is required");
  std::string before;
  try {
    before = collect::ParseUtcTime(options.Get("--before"));
  } catch (const std::invalid_argument& error) {
    return Usage(std::string("--before ") + error.what());
  }
  const auto store = collect::OpenStore(options.Get("--db"), collect::OpenMode::ExistingOnly);
  std::cout << "removed " << store->Prune(before) << " posts received before " << before << "\n";
  return 0;
}

int Backup(const Options& options) {
  const std::string db = options.Get("--db");
  const std::string to = options.Get("--to");
  if (to.empty()) return Usage("--to FILE is required");
  if (collect::IsPostgresUri(db)) {
    std::cerr << "halvane-collect: a PostgreSQL store is backed up with its own tool: pg_dump "
                 "--format=custom --file "
              << to << " '" << collect::RedactedStoreName(db) << "'\n";
    return 1;
  }
  collect::SqliteStore store(db, collect::OpenMode::ExistingOnly);
  store.Backup(to);
  // The copy must be a store the collector reads.
  collect::SqliteStore check(to, collect::OpenMode::ExistingOnly);
  check.Ping();
  std::cout << "backed up " << db << " into " << to << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  // Asked for anywhere, before or after a command and its options, help and the version are
  // answered before anything is checked or opened; no option of ours takes either as a value.
  for (const std::string& arg : args) {
    if (arg == "--help" || arg == "-h") {
      std::cout << kHelp;
      return 0;
    }
    if (arg == "--version") {
      std::cout << "halvane-collect " HALV_BUILD_VERSION "\n";
      return 0;
    }
  }
  if (args.empty()) return Usage("missing command");
  const std::map<std::string, std::vector<std::string>> kOptions = {
      {"serve", {"--db", "--listen", "--pid-file", "--pool", "--trust-proxy", "--log"}},
      {"report", {"--db", "--format", "--table", "--since", "--until"}},
      {"prune", {"--db", "--before"}},
      {"backup", {"--db", "--to"}},
  };
  const std::string command = args[0];
  const auto known = kOptions.find(command);
  if (known == kOptions.end()) return Usage("unknown command '" + command + "'");
  Options options;
  for (std::size_t i = 1; i < args.size(); ++i) {
    std::string arg = args[i];
    std::optional<std::string> inlineValue;
    const std::size_t equals = arg.find('=');
    if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
      inlineValue = arg.substr(equals + 1);
      arg.resize(equals);
    }
    if (std::find(known->second.begin(), known->second.end(), arg) == known->second.end()) {
      if (arg.rfind('-', 0) == 0) return Usage("unknown option '" + arg + "'");
      return Usage("unexpected argument '" + arg + "'");
    }
    if (!inlineValue && i + 1 >= args.size()) return Usage(arg + " needs a value");
    options.values[arg].push_back(inlineValue ? *inlineValue : args[++i]);
  }
  if (options.Get("--db").empty()) return Usage("--db STORE is required");
  try {
    if (command == "serve") return Serve(options);
    if (command == "report") return Report(options);
    if (command == "backup") return Backup(options);
    return Prune(options);
  } catch (const std::invalid_argument& error) {
    return Usage(error.what());
  } catch (const std::exception& error) {
    std::cerr << "halvane-collect: " << error.what() << "\n";
    return 1;
  }
}
