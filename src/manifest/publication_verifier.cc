#include "manifest/publication_verifier.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <utility>

#include "manifest/manifest_exception.h"
#include "manifest/manifest_source.h"
#include "sign/signature_error.h"

namespace halv {
namespace {

// A signature file is four short lines; anything much larger is not one.
constexpr std::uint64_t kMaxSignatureSize = 16384;

// Fetches any text: the signature needs no parser of its own.
class TextHttpSource : public HttpManifestSource {
 public:
  using HttpManifestSource::HttpManifestSource;
  void Parse(std::istream& /*stream*/, boost::property_tree::ptree& /*tree*/) override {}
};

// Package ids in the record: every byte that would end a field or a line, and '%', as %XX.
std::string EncodeId(const std::string& id) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (const unsigned char c : id) {
    if (c <= 0x20 || c == 0x7f || c == '%') {
      encoded += '%';
      encoded += kHex[c >> 4];
      encoded += kHex[c & 15];
    } else {
      encoded += static_cast<char>(c);
    }
  }
  return encoded;
}

// Reads "ENCODED-ID TIME" lines; lines that are not such are skipped, so a damaged record loses
// only its damaged lines.
std::map<std::string, std::int64_t> ReadRecord(const std::string& path) {
  std::map<std::string, std::int64_t> times;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    const std::size_t space = line.find(' ');
    if (space == 0 || space == std::string::npos) continue;
    const std::string digits = line.substr(space + 1);
    if (digits.empty() || digits.size() > 18 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
      continue;
    }
    std::int64_t& time = times[line.substr(0, space)];
    time = std::max(time, static_cast<std::int64_t>(std::stoll(digits)));
  }
  return times;
}

// Replaces the record in one rename, so a reader never sees half of it. False on failure.
bool WriteRecord(const std::string& path, const std::map<std::string, std::int64_t>& times) {
  const std::string temporary = path + ".new";
  {
    std::ofstream out(temporary, std::ios::trunc);
    for (const auto& [id, time] : times) out << id << ' ' << time << '\n';
    out.flush();
    if (!out) return false;
  }
  return std::rename(temporary.c_str(), path.c_str()) == 0;
}

// An advisory lock of "<record>.lock" held for the object's life, so that two processes do not
// interleave their read-modify-write of the record. Without the lock file the record is used
// unlocked: a lost update then weakens the rollback check but refuses nothing.
class RecordLock {
 public:
  explicit RecordLock(const std::string& recordPath)
      : fd_(::open((recordPath + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
    if (fd_ >= 0) ::flock(fd_, LOCK_EX);
  }
  ~RecordLock() {
    if (fd_ >= 0) ::close(fd_);  // releases the lock
  }
  RecordLock(const RecordLock&) = delete;
  RecordLock& operator=(const RecordLock&) = delete;

 private:
  const int fd_;
};

}  // namespace

std::vector<MinisignPublicKey> ParsePublisherKeys(const std::string& text) {
  std::vector<MinisignPublicKey> keys;
  std::size_t start = 0;
  const char* separators = "; ,\t\r\n";
  while ((start = text.find_first_not_of(separators, start)) != std::string::npos) {
    const std::size_t end = text.find_first_of(separators, start);
    keys.push_back(ParseMinisignPublicKey(text.substr(start, end - start)));
    start = end;
  }
  return keys;
}

std::string SignatureUrl(const std::string& documentUrl) { return documentUrl + ".minisig"; }

std::optional<std::string> FetchSignature(const std::string& documentUrl,
                                          HttpRequestFactory& requestFactory,
                                          const std::shared_ptr<HttpSession>& session,
                                          std::int32_t connectTimeout, std::int32_t timeout) {
  TextHttpSource source(SignatureUrl(documentUrl), requestFactory, session, connectTimeout, timeout,
                        kMaxSignatureSize);
  std::ostringstream text;
  try {
    source.Retrieve(std::string(), text);
  } catch (const ManifestLocatorException&) {
    return std::nullopt;
  }
  return text.str();
}

PublicationVerifier::PublicationVerifier(const std::string& keyText, std::string recordPath)
    : recordPath_(std::move(recordPath)) {
  enabled_ = keyText.find_first_not_of("; ,\t\r\n") != std::string::npos;
  if (!enabled_) return;
  try {
    keys_ = ParsePublisherKeys(keyText);
  } catch (const SignatureError& error) {
    keys_.clear();
    keyProblem_ = error.what();
  }
}

PublicationComment PublicationVerifier::Verify(const std::string& url, std::string_view document,
                                               const std::optional<std::string>& signatureFile,
                                               const PublicationComment& expected) const {
  const std::string what = DescribeDocument(expected) + " (" + url + ")";
  if (!keyProblem_.empty()) {
    throw ManifestAuthenticityException("the publication cannot be authenticated: " + what +
                                        " cannot be checked, the publisher key is malformed (" +
                                        keyProblem_ + ")");
  }
  if (!signatureFile) {
    throw ManifestAuthenticityException("the publication is not signed: " + what +
                                        " has no signature at " + SignatureUrl(url));
  }
  try {
    return VerifyPublication(document, *signatureFile, keys_, expected);
  } catch (const SignatureError& error) {
    throw ManifestAuthenticityException("the publication is not authentic: " + what +
                                        " fails its signature: " + error.what());
  }
}

void PublicationVerifier::Accept(const PublicationComment& comment) {
  const std::string id = EncodeId(comment.package);
  const std::lock_guard<std::mutex> lock(mutex_);
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(recordPath_).parent_path(), error);
  const RecordLock fileLock(recordPath_);
  std::map<std::string, std::int64_t> times = ReadRecord(recordPath_);
  const auto found = times.find(id);
  const std::int64_t newest = found == times.end() ? 0 : found->second;
  if (comment.kind == PublicationKind::kCurrent && comment.time < newest) {
    throw ManifestAuthenticityException(
        "the publication is not authentic: " + DescribeDocument(comment) + " was published at " +
        std::to_string(comment.time) + ", before the publication already accepted at " +
        std::to_string(newest) + "; refused as a rollback");
  }
  if (comment.time <= newest) return;
  times[id] = comment.time;
  WriteRecord(recordPath_, times);
}

std::int64_t PublicationVerifier::NewestAccepted(const std::string& package) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  const std::map<std::string, std::int64_t> times = ReadRecord(recordPath_);
  const auto found = times.find(EncodeId(package));
  return found == times.end() ? 0 : found->second;
}

}  // namespace halv
