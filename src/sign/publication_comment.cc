#include "sign/publication_comment.h"

#include <limits>
#include <stdexcept>

#include "sign/signature_error.h"

namespace halv {
namespace {

constexpr std::string_view kMagic = "halvane-publication";

const char* KindName(PublicationKind kind) {
  switch (kind) {
    case PublicationKind::kPackage:
      return "package";
    case PublicationKind::kCurrent:
      return "current";
    case PublicationKind::kNodes:
      return "nodes";
  }
  return "";
}

bool NeedsEscape(unsigned char byte) {
  return byte <= 0x20 || byte == 0x7f || byte == '%' || byte == '=';
}

std::string Encode(const std::string& value) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (NeedsEscape(byte)) {
      text += '%';
      text += kDigits[byte >> 4];
      text += kDigits[byte & 0xf];
    } else {
      text += c;
    }
  }
  return text;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> Decode(std::string_view text) {
  std::string value;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      value += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int high = HexValue(text[i + 1]);
    const int low = HexValue(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    value += static_cast<char>(high << 4 | low);
    i += 2;
  }
  return value;
}

std::optional<std::int64_t> ParseTime(std::string_view text) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  std::int64_t time = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    if (time > (std::numeric_limits<std::int64_t>::max() - (c - '0')) / 10) return std::nullopt;
    time = time * 10 + (c - '0');
  }
  return time;
}

bool HasPackage(PublicationKind kind) { return kind != PublicationKind::kNodes; }

}  // namespace

std::string FormatPublicationComment(const PublicationComment& comment) {
  const bool package = HasPackage(comment.kind);
  if (package && (comment.package.empty() || comment.version.empty())) {
    throw std::invalid_argument("a package signature names the package and the version");
  }
  if (package && !comment.partner.empty()) {
    throw std::invalid_argument("a package signature names no partner");
  }
  if (!package && comment.partner.empty()) {
    throw std::invalid_argument("a node list signature names the partner");
  }
  if (!package && (!comment.package.empty() || !comment.version.empty())) {
    throw std::invalid_argument("a node list signature names no package or version");
  }
  if (comment.time < 0) throw std::invalid_argument("a publication time is not negative");

  std::string text = std::string(kMagic) + " kind=" + KindName(comment.kind);
  if (package) {
    text += " package=" + Encode(comment.package) + " version=" + Encode(comment.version);
  } else {
    text += " partner=" + Encode(comment.partner);
  }
  return text + " time=" + std::to_string(comment.time);
}

std::optional<PublicationComment> ParsePublicationComment(std::string_view text) {
  std::vector<std::string_view> words;
  while (true) {
    const std::size_t end = std::min(text.find(' '), text.size());
    words.push_back(text.substr(0, end));
    if (end == text.size()) break;
    text.remove_prefix(end + 1);
  }
  if (words.front() != kMagic) return std::nullopt;

  std::optional<std::string> kind, package, version, partner, time;
  for (std::size_t i = 1; i < words.size(); ++i) {
    const std::size_t equals = words[i].find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    const std::string_view key = words[i].substr(0, equals);
    std::optional<std::string> value = Decode(words[i].substr(equals + 1));
    if (!value || value->empty()) return std::nullopt;
    std::optional<std::string>* field = key == "kind"      ? &kind
                                        : key == "package" ? &package
                                        : key == "version" ? &version
                                        : key == "partner" ? &partner
                                        : key == "time"    ? &time
                                                           : nullptr;
    if (field == nullptr || field->has_value()) return std::nullopt;
    *field = std::move(value);
  }

  PublicationComment comment;
  if (kind == std::string("package")) {
    comment.kind = PublicationKind::kPackage;
  } else if (kind == std::string("current")) {
    comment.kind = PublicationKind::kCurrent;
  } else if (kind == std::string("nodes")) {
    comment.kind = PublicationKind::kNodes;
  } else {
    return std::nullopt;
  }
  const bool fieldsFit =
      HasPackage(comment.kind) ? package && version && !partner : partner && !package && !version;
  if (!fieldsFit) return std::nullopt;
  const std::optional<std::int64_t> seconds = time ? ParseTime(*time) : std::nullopt;
  if (!seconds) return std::nullopt;
  comment.package = package.value_or("");
  comment.version = version.value_or("");
  comment.partner = partner.value_or("");
  comment.time = *seconds;
  return comment;
}

bool NamesSameDocument(const PublicationComment& signedComment,
                       const PublicationComment& expected) {
  if (signedComment.kind != expected.kind) return false;
  switch (expected.kind) {
    case PublicationKind::kPackage:
      return signedComment.package == expected.package && signedComment.version == expected.version;
    case PublicationKind::kCurrent:
      return signedComment.package == expected.package &&
             (expected.version.empty() || signedComment.version == expected.version);
    case PublicationKind::kNodes:
      return signedComment.partner == expected.partner;
  }
  return false;
}

std::string DescribeDocument(const PublicationComment& comment) {
  switch (comment.kind) {
    case PublicationKind::kPackage:
      return "the document of package \"" + comment.package + "\" version \"" + comment.version +
             "\"";
    case PublicationKind::kCurrent:
      return "the current document of package \"" + comment.package + "\"" +
             (comment.version.empty() ? "" : " (version \"" + comment.version + "\")");
    case PublicationKind::kNodes:
      return "the node list of partner \"" + comment.partner + "\"";
  }
  return "";
}

std::string SignPublication(const MinisignSecretKey& key, std::string_view document,
                            const PublicationComment& comment) {
  return key.Sign(document, FormatPublicationComment(comment));
}

PublicationComment VerifyPublication(std::string_view document, std::string_view signatureFile,
                                     const std::vector<MinisignPublicKey>& keys,
                                     const PublicationComment& expected) {
  const std::string trusted = VerifyMinisign(document, signatureFile, keys);
  const std::optional<PublicationComment> signedComment = ParsePublicationComment(trusted);
  if (!signedComment) {
    throw SignatureError(SignatureFailure::kWrongDocument,
                         "the signature names no published document: \"" + trusted + "\"");
  }
  if (!NamesSameDocument(*signedComment, expected)) {
    throw SignatureError(SignatureFailure::kWrongDocument,
                         "the signature is for " + DescribeDocument(*signedComment) + ", not for " +
                             DescribeDocument(expected));
  }
  return *signedComment;
}

}  // namespace halv
