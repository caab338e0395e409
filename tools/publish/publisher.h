#ifndef HALV_TOOLS_PUBLISH_PUBLISHER_H_
#define HALV_TOOLS_PUBLISH_PUBLISHER_H_

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

// Publishing a folder of files as a package that a static HTTP server can serve, both as the
// manifest host and as a download node. The published folder holds
//   manifests/<package>/<version>.xml and manifests/<package>/current.xml (the package document),
//   nodes/<partner>.xml (the node list) and
//   packages/<partner>/<package>/<version>/<files> (hard links to the input files, or copies).
// Nothing here is shared between threads: one publication runs on its caller's thread.
namespace halv::publish {

// Every refusal and every failure of a publication; the message says what and where.
class PublishError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct PublishNode {
  std::string host;                 // host name or address, optionally ":" port
  std::string path = "/packages/";  // URL path under which the node serves the packages folder
  std::int32_t weight = 1;
};

struct PublishOptions {
  std::string input;   // folder whose files make up the package
  std::string output;  // folder to publish into; created when missing
  std::string partner;
  std::string package;
  std::string version;
  std::string name;
  std::string run;  // relative path of the file started after the download; may be empty
  std::uint32_t chunkSize = 1 << 20;
  std::vector<PublishNode> nodes;
};

struct PublishProgress {
  std::uint64_t doneBytes = 0;
  std::uint64_t totalBytes = 0;
  std::size_t doneFiles = 0;
  std::size_t totalFiles = 0;
};

struct PublishResult {
  std::size_t files = 0;
  std::uint64_t bytes = 0;
  std::size_t linkedFiles = 0;  // the rest were copied
  std::string manifestPath;     // the version's package document
};

// Parses "HOST[:PORT][/PATH][=WEIGHT]". The path is normalised to begin and end with "/".
// Throws PublishError for an empty host, a malformed port or a weight that is not a 32-bit
// integer.
PublishNode ParseNode(const std::string& text);

// Checks every option, then places every file of `options.input` (links, else copies), computes
// its checksums from the placed bytes and writes the documents; the package becomes the current
// version of its id. A republished version replaces the earlier publication of that version.
// `progress`, when set, is called after every block read. Throws PublishError.
PublishResult Publish(const PublishOptions& options,
                      const std::function<void(const PublishProgress&)>& progress = nullptr);

}  // namespace halv::publish

#endif  // HALV_TOOLS_PUBLISH_PUBLISHER_H_
