#ifndef HALV_TOOLS_PUBLISH_PUBLISHER_H_
#define HALV_TOOLS_PUBLISH_PUBLISHER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "sign/minisign.h"
#include "sign/publication_comment.h"

// Publishing a folder of files as a package that a static HTTP server can serve, both as the
// manifest host and as a download node. The published folder holds
//   manifests/<package>/<version>.xml and manifests/<package>/current.xml (the package document),
//   nodes/<partner>.xml (the node list) and
//   packages/<partner>/<package>/<version>/<files> (copies of the input files, or hard links).
// A published version is immutable: its files are all in place before its document is written,
// and "current" moves last, by an atomic rename, so a failed or killed publication leaves the
// earlier state served and intact. One publication at a time holds the output folder's lock.
// A signed publication has a detached minisign signature beside every document it writes
// (DOCUMENT.minisig) and the SHA-256 of every chunk in its package document.
// Nothing here is shared between threads: one publication runs on its caller's thread.
namespace halv::publish {

// Every refusal and every failure of a publication; the message says what and where.
class PublishError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Signs the documents of a publication: the publisher's seam for signing, where a test hands in
// one that fails on purpose. Ownership: shared by the options that name it. Thread-safety: called
// on the publishing thread only.
class DocumentSigner {
 public:
  virtual ~DocumentSigner() = default;
  // The text of the .minisig file that signs `document` with `comment` as its trusted comment.
  // Throws on failure; the publisher signs everything before it writes anything.
  virtual std::string Sign(const std::string& document,
                           const PublicationComment& comment) const = 0;
  // The key that checks what Sign makes: a signature in the output folder that it accepts for
  // the same document is kept as it is.
  virtual MinisignPublicKey PublicKey() const = 0;
};

// Signs with a minisign secret key (ReadMinisignSecretKeyFile).
class MinisignDocumentSigner final : public DocumentSigner {
 public:
  explicit MinisignDocumentSigner(MinisignSecretKey key) : key_(std::move(key)) {}
  std::string Sign(const std::string& document, const PublicationComment& comment) const override;
  MinisignPublicKey PublicKey() const override { return key_.publicKey(); }

 private:
  const MinisignSecretKey key_;
};

struct PublishNode {
  // "https://" for a node reached over TLS, then a name, IPv4 address or bracketed IPv6
  // address, then ":" and the port when it is not the scheme's default.
  std::string host;
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
  // A link in the input whose target stays inside it is published as a link. Links that lead
  // outside the input, nowhere, or round in a loop, and absolute links, are refused, all named in
  // one error, unless `skipLinks` leaves them out. `dereference` publishes what every link points
  // at instead, as a file (links to folders and links leading out are then the ones refused or
  // left out). `keepAbsoluteLinks` publishes every absolute link as a link with its text as it
  // is, whatever it points at on this machine (a Python virtual environment's bin/python3 ->
  // /usr/bin/python3), and the relative links that end at one (bin/python -> python3); a link
  // that passes through one to reach further is still refused. The run file is always published
  // as a file.
  bool skipLinks = false;
  bool dereference = false;
  bool keepAbsoluteLinks = false;
  // Signs every document written and adds the SHA-256 of every chunk to the package document;
  // null for an unsigned publication.
  std::shared_ptr<const DocumentSigner> signer;
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
  std::uint64_t bytes = 0;      // read and published: a file's hard links add none
  std::size_t linkedFiles = 0;  // the rest were copied
  std::string manifestPath;     // the version's package document
  // The version was published already with the same content; its files and its document were
  // left as they were.
  bool unchanged = false;
  std::size_t links = 0;                  // published as links
  std::size_t hardLinks = 0;              // of the files, those published as a hard link of one
  std::size_t folders = 0;                // empty folders published
  std::vector<std::string> skippedLinks;  // left out, each with the reason
};

// `text` in double quotes, with control characters, '"', '\\' and bytes that are not UTF-8
// written as \xNN: user text as a message may show it without sending terminal controls.
std::string Quote(const std::string& text);

// Parses "[SCHEME://]HOST[:PORT][/PATH][=WEIGHT]": SCHEME is http (the default, left out of
// the host) or https (kept in the host: the node is reached over TLS); HOST is a name or an IPv4
// address (letters, digits, '-',
// '.', '_') or an IPv6 address in brackets; PORT is 1 to 65535 without leading zeros; PATH is
// normalised to begin and end with "/"; WEIGHT is 0 to 2147483647. Other schemes are refused. The
// node must form a URL with the updater's own URL builder. Throws PublishError naming the value.
PublishNode ParseNode(const std::string& text);

// Checks every option and the whole input before anything is written, then takes the output
// folder's lock. A version published already is compared with the input: the same content
// leaves everything as it is (the node list and "current" are still brought up to date), other
// content is refused. A new version's files are placed (copies, or links with `link`) in a
// temporary folder, checksummed from the placed bytes and moved into place; then its document,
// the node list and last "current" are written. With a signer, every signature is made before
// anything is written and each lands just before its document; an unsigned publication into a
// folder whose "current" or node list is signed is refused. What a killed run left behind is
// removed first.
// `progress`, when set, is called after every block read. Throws PublishError; nothing
// temporary is left behind.
PublishResult Publish(const PublishOptions& options,
                      const std::function<void(const PublishProgress&)>& progress = nullptr);

}  // namespace halv::publish

#endif  // HALV_TOOLS_PUBLISH_PUBLISHER_H_
