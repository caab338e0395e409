// halvane-publish: turns a folder of files into a published package that any static HTTP
// server can serve as manifest host and download node.

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>

#include "publisher.h"

namespace {

using halv::publish::PublishError;
using halv::publish::PublishOptions;
using halv::publish::PublishProgress;

const char kHelp[] =
    "Usage: halvane-publish --input DIR --output DIR --partner ID --package ID --version ID\n"
    "                       --name NAME [--run PATH] [--chunk-size BYTES]\n"
    "                       --node HOST[:PORT][=WEIGHT] [--node ...]\n"
    "\n"
    "Publishes the files of a folder as one version of a package. The output folder can be\n"
    "served as it is by any static HTTP server, both as the manifest host and as a node:\n"
    "  manifests/PACKAGE/VERSION.xml   the package document of this version\n"
    "  manifests/PACKAGE/current.xml   the same document: the version just published becomes\n"
    "                                  the current one\n"
    "  nodes/PARTNER.xml               the node list of the partner\n"
    "  packages/PARTNER/PACKAGE/VERSION/...  the files\n"
    "Publishing a version again replaces its earlier publication.\n"
    "\n"
    "Options:\n"
    "  --input DIR         folder whose files (and subfolders) make up the package. Links to\n"
    "                      files inside it are followed; anything that leads outside it is\n"
    "                      refused.\n"
    "  --output DIR        folder to publish into; created when missing. It must not contain\n"
    "                      the input folder, nor lie inside it.\n"
    "  --partner ID        partner id: names the node list and the first level of the files.\n"
    "  --package ID        package id.\n"
    "  --version ID        version id (not \"current\"). Ids must not contain / \\ ? # % or :.\n"
    "  --name NAME         the package's display name.\n"
    "  --run PATH          path, relative to the input folder and with \"/\" between folders,\n"
    "                      of the program started after the download. Optional.\n"
    "  --chunk-size BYTES  size of the checked pieces of every file, from 1 to 4294967295;\n"
    "                      default 1048576 (1 MiB).\n"
    "  --node HOST[:PORT][/PATH][=WEIGHT]\n"
    "                      a node that serves the output folder; repeat for several nodes.\n"
    "                      PATH is the URL path under which the node serves the packages\n"
    "                      folder (default /packages/). WEIGHT is the node's share of the\n"
    "                      load (default 1; 0 keeps the node out while others have weight).\n"
    "  --help              show this text.\n"
    "\n"
    "Files are hard-linked into the output folder where the file system allows it and copied\n"
    "otherwise; a linked file shares its bytes with the input, so change an input file only by\n"
    "replacing it, never in place, once it is published. Checksums are CRC-32 values of the\n"
    "published bytes. On a terminal, large folders show their progress on standard error.\n";

constexpr std::uint64_t kProgressThreshold = std::uint64_t{64} << 20;

int Usage(const std::string& message) {
  std::cerr << "halvane-publish: " << message << "\nTry 'halvane-publish --help'.\n";
  return 2;
}

std::string Gib(std::uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f GiB", static_cast<double>(bytes) / (1 << 30));
  return text;
}

// Redraws one status line on standard error at most ten times a second.
class ProgressLine {
 public:
  void Show(const PublishProgress& progress) {
    if (progress.totalBytes < kProgressThreshold) return;
    const auto now = std::chrono::steady_clock::now();
    const bool finished = progress.doneFiles == progress.totalFiles;
    if (!finished && shown_ && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    shown_ = true;
    const int percent = static_cast<int>(progress.doneBytes * 100 / progress.totalBytes);
    std::fprintf(stderr, "\rpublishing: %3d%%  %s of %s, %zu of %zu files", percent,
                 Gib(progress.doneBytes).c_str(), Gib(progress.totalBytes).c_str(),
                 progress.doneFiles, progress.totalFiles);
    if (finished) std::fputc('\n', stderr);
    std::fflush(stderr);
  }

 private:
  bool shown_ = false;
  std::chrono::steady_clock::time_point last_;
};

}  // namespace

int main(int argc, char** argv) {
  PublishOptions options;
  std::string* const required[] = {&options.input,   &options.output,  &options.partner,
                                   &options.package, &options.version, &options.name};
  const char* const requiredNames[] = {"--input",   "--output",  "--partner",
                                       "--package", "--version", "--name"};
  try {
    for (int i = 1; i < argc; ++i) {
      std::string option = argv[i];
      std::string value;
      bool hasValue = false;
      if (option == "--help" || option == "-h") {
        std::cout << kHelp;
        return 0;
      }
      const std::size_t equals = option.find('=');
      if (option.rfind("--", 0) == 0 && equals != std::string::npos) {
        value = option.substr(equals + 1);
        option.resize(equals);
        hasValue = true;
      }
      const auto next = [&]() -> std::string {
        if (hasValue) return value;
        if (i + 1 >= argc) throw PublishError(option + " needs a value");
        return argv[++i];
      };
      if (option == "--input") {
        options.input = next();
      } else if (option == "--output") {
        options.output = next();
      } else if (option == "--partner") {
        options.partner = next();
      } else if (option == "--package") {
        options.package = next();
      } else if (option == "--version") {
        options.version = next();
      } else if (option == "--name") {
        options.name = next();
      } else if (option == "--run") {
        options.run = next();
      } else if (option == "--chunk-size") {
        const std::string text = next();
        char* end = nullptr;
        errno = 0;
        const unsigned long long size = std::strtoull(text.c_str(), &end, 10);
        if (text.empty() || text[0] == '-' || *end != '\0' || errno != 0 || size == 0 ||
            size > 4294967295ull) {
          throw PublishError("--chunk-size must be a number of bytes from 1 to 4294967295");
        }
        options.chunkSize = static_cast<std::uint32_t>(size);
      } else if (option == "--node") {
        options.nodes.push_back(halv::publish::ParseNode(next()));
      } else {
        throw PublishError("unknown argument " + std::string(argv[i]));
      }
    }
    for (std::size_t i = 0; i < std::size(required); ++i) {
      if (required[i]->empty()) throw PublishError(std::string(requiredNames[i]) + " is required");
    }
    if (options.nodes.empty()) throw PublishError("at least one --node is required");
  } catch (const PublishError& e) {
    return Usage(e.what());
  }

  try {
    ProgressLine line;
    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    const auto result = halv::publish::Publish(options, [&](const PublishProgress& progress) {
      if (terminal) line.Show(progress);
    });
    std::cout << "published " << options.package << " version " << options.version << ": "
              << result.files << " files, " << result.bytes << " bytes (" << result.linkedFiles
              << " linked, " << result.files - result.linkedFiles << " copied)\n"
              << result.manifestPath << "\n";
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "halvane-publish: " << e.what() << "\n";
    return 1;
  }
}
