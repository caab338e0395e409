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
//   packages/<partner>/<package>/<version>/<files> (copies of the input files, or hard links).
// A published version is immutable: its files are all in place before its document is written,
// and "current" moves last, by an atomic rename, so a failed or killed publication leaves the
// earlier state served and intact. One publication at a time holds the output folder's lock.
// Nothing here is shared between threads: one publication runs on its caller's thread.
namespace halv::publish {

// Every refusal and every failure of a publication; the message says what and where.
class PublishError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct PublishNode {
  std::string host;                 // name, IPv4 address or bracketed IPv6 address; ":" port
  std::string path = "/packages/";  // URL path under which the node serves the packages folder
  std::int32_t weight = 1;          // from 0 to 2147483647
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
  // Hard-links the input files instead of copying them: fast and free of extra space, but a
  // change made in place to an input file then changes the published release as well.
  bool link = false;
  bool allowEmpty = false;  // an empty input folder is refused unless this is set
  // Called once, before waiting, when another publication holds the output folder.
  std::function<void()> onWait;
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
  // The version was published already with the same content; its files and its document were
  // left as they were.
  bool unchanged = false;
};

// `text` in double quotes, with control characters, '"', '\\' and bytes that are not UTF-8
// written as \xNN: user text as a message may show it without sending terminal controls.
std::string Quote(const std::string& text);

// Parses "HOST[:PORT][/PATH][=WEIGHT]": HOST is a name or an IPv4 address (letters, digits, '-',
// '.', '_') or an IPv6 address in brackets; PORT is 1 to 65535 without leading zeros; PATH is
// normalised to begin and end with "/"; WEIGHT is 0 to 2147483647. A scheme prefix such as
// "https://" is recognised and refused until the updater fetches over it. The node must form a
// URL with the updater's own URL builder. Throws PublishError naming the value.
PublishNode ParseNode(const std::string& text);

// Checks every option and the whole input before anything is written, then takes the output
// folder's lock. A version published already is compared with the input: the same content
// leaves everything as it is (the node list and "current" are still brought up to date), other
// content is refused. A new version's files are placed (copies, or links with `link`) in a
// temporary folder, checksummed from the placed bytes and moved into place; then its document,
// the node list and last "current" are written. What a killed run left behind is removed first.
// `progress`, when set, is called after every block read. Throws PublishError; nothing
// temporary is left behind.
PublishResult Publish(const PublishOptions& options,
                      const std::function<void(const PublishProgress&)>& progress = nullptr);

}  // namespace halv::publish

#endif  // HALV_TOOLS_PUBLISH_PUBLISHER_H_
