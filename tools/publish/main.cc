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
#include <memory>
#include <string>

#include "build_version.h"
#include "publisher.h"
#include "sign/minisign.h"
#include "sign/sign_password.h"

namespace {

using halv::publish::PublishError;
using halv::publish::PublishOptions;
using halv::publish::PublishProgress;

// The help text; the name of the password variable comes from the signing library.
std::string Help() {
  return std::string(
             "Usage: halvane-publish --input DIR --output DIR --partner ID --package ID\n"
             "                       --package-version ID --name NAME [--run PATH] [--chunk-size "
             "BYTES] [--link]\n"
             "                       [--allow-empty] [--skip-links] [--dereference]\n"
             "                       [--keep-absolute-links]\n"
             "                       [--sign SECRET_KEY_FILE]\n"
             "                       --node [https://]HOST[:PORT][/PATH][=WEIGHT] [--node ...]\n"
             "       halvane-publish --help | --version\n"
             "\n"
             "Publishes the files of a folder as one version of a package. The output folder can "
             "be\n"
             "served as it is by any static HTTP server, both as the manifest host and as a node:\n"
             "  manifests/PACKAGE/VERSION.xml   the package document of this version\n"
             "  manifests/PACKAGE/current.xml   the same document: the version just published "
             "becomes\n"
             "                                  the current one\n"
             "  nodes/PARTNER.xml               the node list of the partner\n"
             "  packages/PARTNER/PACKAGE/VERSION/...  the files\n"
             "A published version never changes. Publishing it again with the same content "
             "changes\n"
             "nothing but the node list and the current version; with other content it is "
             "refused:\n"
             "publish a new version instead. A new version's files are all in place before its\n"
             "document is written, and the current version moves last, so a publication that "
             "fails\n"
             "or is killed leaves what was served before intact; the next run tidies up after it.\n"
             "One publication at a time writes into an output folder; others wait for it.\n"
             "\n"
             "Options:\n"
             "  --input DIR         folder whose files (and subfolders) make up the package, with\n"
             "                      each file's mode and modification time. Links inside it are\n"
             "                      published as links; links leading outside it or nowhere are\n"
             "                      refused, all named at once. File names may not contain '\\' "
             "or\n"
             "                      control characters. Empty folders are published and made;\n"
             "                      files hard-linked to each other arrive hard-linked, their\n"
             "                      bytes downloaded once (the run file always stands alone).\n"
             "  --output DIR        folder to publish into; created when missing. It must not "
             "contain\n"
             "                      the input folder, nor lie inside it, nor hold links to it.\n"
             "  --partner ID        partner id: names the node list and the first level of the "
             "files.\n"
             "  --package ID        package id.\n"
             "  --package-version ID\n"
             "                      version id (not \"current\"). Ids are UTF-8, at most 128 "
             "bytes,\n"
             "                      do not begin with '.' and do not contain / \\ ? # % or :.\n"
             "  --name NAME         the package's display name.\n"
             "  --run PATH          path, relative to the input folder and with \"/\" between "
             "folders,\n"
             "                      of the program started after the download. Optional.\n"
             "  --chunk-size BYTES  size of the checked pieces of every file, from 1 to "
             "4294967295;\n"
             "                      default 1048576 (1 MiB). The package document (72 bytes per "
             "chunk)\n"
             "                      must stay within the 1 GiB that the updater reads.\n"
             "  --link              hard-link the input files instead of copying them. Fast and "
             "free\n"
             "                      of extra space, but RISKY: changing an input file in place (cp "
             "over\n"
             "                      it, a build writing it with >) then changes the release that "
             "users\n"
             "                      are downloading, and its chunks fail their checksums.\n"
             "  --allow-empty       publish an empty input folder (refused otherwise).\n"
             "  --skip-links        leave out the links that cannot be published (leading outside\n"
             "                      the input, nowhere, or absolute) instead of refusing them.\n"
             "  --dereference       publish what each link points at, as a file, instead of the\n"
             "                      link. Links to files inside the input only.\n"
             "  --keep-absolute-links\n"
             "                      publish links whose text begins with \"/\" as links, their\n"
             "                      text as it is, whatever they point at here (even nothing),\n"
             "                      and the relative links that end at one, such as a Python\n"
             "                      virtual environment's bin/python3 -> /usr/bin/python3 and\n"
             "                      bin/python -> python3; with --dereference too. They lead\n"
             "                      where their text says on the machine that downloads them.\n"
             "  --sign SECRET_KEY_FILE\n"
             "                      sign every document written with this minisign secret key "
             "(made\n"
             "                      by minisign -G): each gets a detached signature beside it, "
             "named\n"
             "                      after it with .minisig appended, which minisign -Vm DOCUMENT "
             "-p\n"
             "                      KEY.pub checks, and the package document gets the SHA-256 of\n"
             "                      every chunk. The password of an encrypted key is read from "
             "the\n"
             "                      environment variable ") +
         halv::kSignPasswordVariable +
         " when it is set,\n"
         "                      otherwise from the terminal. Once a package or partner is signed,\n"
         "                      unsigned publications of it are refused.\n"
         "  --node [https://]HOST[:PORT][/PATH][=WEIGHT]\n"
         "                      a node that serves the output folder; repeat for several nodes.\n"
         "                      HOST is a host name, an IPv4 address or an IPv6 address in\n"
         "                      brackets ([::1]); PORT is 1 to 65535. PATH is the URL path under\n"
         "                      which the node serves the packages folder (default /packages/).\n"
         "                      WEIGHT is the node's share of the load, 0 to 2147483647 (default\n"
         "                      1; 0 keeps the node out while others have weight); the weights\n"
         "                      must add up to at most 4294967295. With https:// the node is\n"
         "                      reached over TLS (port 443 unless PORT is given); without a\n"
         "                      scheme (or with http://) over plain HTTP.\n"
         "  --help              show this text; --version shows the program's version.\n"
         "Every option that takes a value also takes it as --option=value. The package version's\n"
         "older spelling --version ID still works in this release, with a notice.\n"
         "\n"
         "Files are copied into the output folder (the file system shares their extents where it\n"
         "can). Checksums are CRC-32 values of the published bytes. On a terminal, large folders\n"
         "show their progress on standard error.\n";
}

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
    open_ = !finished;
    if (finished) std::fputc('\n', stderr);
    std::fflush(stderr);
  }

  // Ends a line left open, so that what follows starts on a line of its own.
  void Break() {
    if (open_) std::fputc('\n', stderr);
    open_ = false;
  }

 private:
  bool open_ = false;
  bool shown_ = false;
  std::chrono::steady_clock::time_point last_;
};

}  // namespace

int main(int argc, char** argv) {
  PublishOptions options;
  std::string secretKey;
  bool oldVersionSpelling = false;
  std::string* const required[] = {&options.input,   &options.output,  &options.partner,
                                   &options.package, &options.version, &options.name};
  const char* const requiredNames[] = {"--input",   "--output",          "--partner",
                                       "--package", "--package-version", "--name"};
  try {
    for (int i = 1; i < argc; ++i) {
      std::string option = argv[i];
      std::string value;
      bool hasValue = false;
      if (option == "--help" || option == "-h") {
        std::cout << Help();
        return 0;
      }
      const std::size_t equals = option.find('=');
      if (option.rfind("--", 0) == 0 && equals != std::string::npos) {
        value = option.substr(equals + 1);
        option.resize(equals);
        hasValue = true;
      }
      // --version alone asks for the program's version; followed by a value it is the package
      // version's old spelling, kept for one release so that existing scripts keep working.
      if (option == "--version" && !hasValue &&
          (i + 1 >= argc || std::string(argv[i + 1]).rfind('-', 0) == 0)) {
        std::cout << "halvane-publish " HALV_BUILD_VERSION "\n";
        return 0;
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
      } else if (option == "--package-version" || option == "--version") {
        options.version = next();
        oldVersionSpelling = option == "--version";
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
      } else if (option == "--link" && !hasValue) {
        options.link = true;
      } else if (option == "--allow-empty" && !hasValue) {
        options.allowEmpty = true;
      } else if (option == "--skip-links" && !hasValue) {
        options.skipLinks = true;
      } else if (option == "--dereference" && !hasValue) {
        options.dereference = true;
      } else if (option == "--keep-absolute-links" && !hasValue) {
        options.keepAbsoluteLinks = true;
      } else if (option == "--sign") {
        secretKey = next();
        if (secretKey.empty()) throw PublishError("--sign needs the path of a secret key file");
      } else if (option == "--node") {
        options.nodes.push_back(halv::publish::ParseNode(next()));
      } else if (option.rfind('-', 0) == 0) {
        throw PublishError("unknown option " + halv::publish::Quote(option));
      } else {
        throw PublishError("unexpected argument " + halv::publish::Quote(argv[i]));
      }
    }
    for (std::size_t i = 0; i < std::size(required); ++i) {
      if (required[i]->empty()) throw PublishError(std::string(requiredNames[i]) + " is required");
    }
    if (options.nodes.empty()) throw PublishError("at least one --node is required");
  } catch (const PublishError& e) {
    return Usage(e.what());
  }
  if (oldVersionSpelling) {
    std::cerr << "halvane-publish: --version ID is now --package-version ID; the old spelling "
                 "goes in the next release\n";
  }

  ProgressLine line;
  try {
    if (!secretKey.empty()) {
      options.signer = std::make_shared<halv::publish::MinisignDocumentSigner>(
          halv::ReadMinisignSecretKeyFile(secretKey, halv::PasswordFromEnvironmentOrTerminal));
    }
    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    options.onWait = [&] {
      std::cerr << "halvane-publish: waiting for another publication into " << options.output
                << " to finish\n";
    };
    const auto result = halv::publish::Publish(options, [&](const PublishProgress& progress) {
      if (terminal) line.Show(progress);
    });
    for (const std::string& skipped : result.skippedLinks) {
      std::cerr << "halvane-publish: left out " << skipped << "\n";
    }
    if (result.unchanged) {
      std::cout << options.package << " version " << options.version
                << " is published already with the same content: its files were left as they "
                   "were\n"
                << result.manifestPath << "\n";
      return 0;
    }
    std::cout << "published " << options.package << " version " << options.version << ": "
              << result.files << " files, " << result.bytes << " bytes (" << result.linkedFiles
              << " linked, " << result.files - result.linkedFiles << " copied), " << result.links
              << " links, " << result.hardLinks << " hard links, " << result.folders
              << " empty folders\n"
              << result.manifestPath << "\n";
    return 0;
  } catch (const std::exception& e) {
    line.Break();
    std::cerr << "halvane-publish: " << e.what() << "\n";
    return 1;
  }
}
