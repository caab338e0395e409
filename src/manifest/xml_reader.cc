#include "manifest/xml_reader.h"

#include <cstddef>
#include <istream>
#include <streambuf>
#include <string>
#include <vector>

#include "manifest/manifest_exception.h"

namespace halv {
namespace {

constexpr std::size_t kMaxNameLength = 256;
constexpr std::size_t kMaxAttributes = 256;
// Text goes to the handler in pieces of this size, so that no piece grows with the document.
constexpr std::size_t kTextPiece = 65536;

[[noreturn]] void Refuse(const std::string& why) { throw ManifestParseException(why); }

bool IsSpace(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool IsNameChar(int c) {
  if (c <= 0) return false;
  switch (c) {
    case ' ':
    case '\t':
    case '\n':
    case '\r':
    case '/':
    case '>':
    case '<':
    case '=':
    case '?':
    case '!':
    case '"':
    case '\'':
    case '&':
    case 0:
      return false;
    default:
      return true;
  }
}

void AppendUtf8(std::uint32_t code, std::string& out) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xc0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3f));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xe0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (code & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3f));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (code & 0x3f));
  }
}

// The value of the character reference `digits` (after "&#"), or 0 when it is not one.
std::uint32_t CharacterReference(const std::string& digits) {
  const bool hex = !digits.empty() && digits[0] == 'x';
  const std::size_t first = hex ? 1 : 0;
  if (digits.size() <= first || digits.size() - first > 8) return 0;
  std::uint32_t code = 0;
  for (std::size_t i = first; i < digits.size(); ++i) {
    const char c = digits[i];
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (hex && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (hex && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit < 0) return 0;
    code = code * (hex ? 16 : 10) + static_cast<std::uint32_t>(digit);
  }
  if (code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return 0;
  return code;
}

}  // namespace

class XmlTokenizer {
 public:
  XmlTokenizer(std::streambuf* input, XmlHandler& handler, std::uint64_t maxSize)
      : input_(input), handler_(handler), maxSize_(maxSize) {
    handler_.consumed_ = 0;
  }

  void Read() {
    if (Peek() == 0xef) {  // a UTF-8 byte order mark
      Take();
      if (Take() != 0xbb || Take() != 0xbf) Refuse("not XML: a broken byte order mark");
    }
    while (true) {
      const int c = Take();
      if (c < 0) break;
      if (c == '<') {
        Markup();
      } else if (!open_.empty()) {
        Text(c);
      } else if (!IsSpace(c)) {
        Refuse("not XML: text outside the root element");
      }
    }
    if (!open_.empty()) Refuse("not XML: the document ends inside <" + open_.back() + ">");
  }

 private:
  int Take() {
    const int c = input_->sbumpc();
    if (c == std::char_traits<char>::eof()) return -1;
    if (++handler_.consumed_ > maxSize_) {
      Refuse("document too large: more than " + std::to_string(maxSize_) + " bytes");
    }
    if (c == 0) Refuse("not XML: a NUL character");
    return c;
  }
  int Peek() {
    const int c = input_->sgetc();
    return c == std::char_traits<char>::eof() ? -1 : c;
  }
  int TakeSome() {
    const int c = Take();
    if (c < 0) Refuse("not XML: the document ends inside a tag");
    return c;
  }
  void Expect(const char* text) {
    for (; *text; ++text) {
      if (TakeSome() != static_cast<unsigned char>(*text)) Refuse("not XML: a broken markup");
    }
  }
  int SkipSpace() {
    int c = TakeSome();
    while (IsSpace(c)) c = TakeSome();
    return c;
  }

  // The name that begins with `c`.
  std::string Name(int c) {
    std::string name;
    while (IsNameChar(c)) {
      if (name.size() == kMaxNameLength) Refuse("not XML: a name longer than any manifest uses");
      name += static_cast<char>(c);
      c = TakeSome();
    }
    if (name.empty()) Refuse("not XML: a tag without a name");
    last_ = c;
    return name;
  }

  // The entity after '&' into `out`; an unknown one is kept as written.
  void Entity(std::string& out) {
    std::string name;
    while (name.size() < 10 && Peek() != ';' && (IsNameChar(Peek()) || Peek() == '#')) {
      name += static_cast<char>(Take());
    }
    if (Peek() == ';') {
      Take();
      if (name == "lt") return void(out += '<');
      if (name == "gt") return void(out += '>');
      if (name == "amp") return void(out += '&');
      if (name == "quot") return void(out += '"');
      if (name == "apos") return void(out += '\'');
      if (!name.empty() && name[0] == '#') {
        const std::uint32_t code = CharacterReference(name.substr(1));
        if (code == 0) Refuse("not XML: a broken character reference");
        return AppendUtf8(code, out);
      }
      name += ';';
    }
    out += '&';
    out += name;
  }

  void Text(int c) {
    piece_.clear();
    while (true) {
      if (c == '&') {
        Entity(piece_);
      } else {
        piece_ += static_cast<char>(c);
      }
      if (piece_.size() >= kTextPiece) {
        handler_.Text(piece_);
        piece_.clear();
      }
      if (Peek() == '<' || Peek() < 0) break;
      c = Take();
    }
    if (!piece_.empty()) handler_.Text(piece_);
  }

  void Markup() {
    const int c = TakeSome();
    if (c == '?') return Instruction();
    if (c == '!') return Declaration();
    if (c == '/') return Close();
    StartTag(c);
  }

  void Instruction() {
    int previous = 0;
    for (int c = TakeSome();; c = TakeSome()) {
      if (previous == '?' && c == '>') return;
      previous = c;
    }
  }

  // A comment goes to the handler whole; CDATA goes as text, in pieces.
  void Declaration() {
    const int c = TakeSome();
    if (c == '-') {
      Expect("-");
      std::string comment;
      while (true) {
        comment += static_cast<char>(TakeSome());
        if (comment.size() >= 3 && comment.compare(comment.size() - 3, 3, "-->") == 0) break;
      }
      comment.resize(comment.size() - 3);
      handler_.Comment(std::move(comment));
      return;
    }
    if (c == '[' && !open_.empty()) {
      Expect("CDATA[");
      std::string text;
      while (true) {
        text += static_cast<char>(TakeSome());
        if (text.size() >= 3 && text.compare(text.size() - 3, 3, "]]>") == 0) break;
        if (text.size() >= kTextPiece + 3) {
          handler_.Text(text.substr(0, text.size() - 3));
          text.erase(0, text.size() - 3);
        }
      }
      text.resize(text.size() - 3);
      if (!text.empty()) handler_.Text(text);
      return;
    }
    // Document types (and their entities) are never part of a manifest.
    Refuse("not XML a manifest may hold: a declaration <!" + std::string(1, static_cast<char>(c)));
  }

  void StartTag(int first) {
    if (static_cast<int>(open_.size()) >= kMaxXmlDepth) {
      Refuse("not a manifest: elements nested deeper than " + std::to_string(kMaxXmlDepth));
    }
    std::string name = Name(first);
    handler_.StartElement(name);
    open_.push_back(std::move(name));
    std::size_t attributes = 0;
    int c = last_;
    while (true) {
      if (IsSpace(c)) c = SkipSpace();
      if (c == '>') return;
      if (c == '/') {
        if (TakeSome() != '>') Refuse("not XML: '/' inside a tag");
        return CloseInnermost();
      }
      const std::string key = Name(c);
      c = IsSpace(last_) ? SkipSpace() : last_;
      if (c != '=') Refuse("not XML: an attribute without a value");
      const int quote = SkipSpace();
      if (quote != '"' && quote != '\'') Refuse("not XML: an attribute value without quotes");
      std::string value;
      for (c = TakeSome(); c != quote; c = TakeSome()) {
        if (c == '<') Refuse("not XML: '<' inside a value");
        if (c == '&') {
          Entity(value);
        } else {
          value += static_cast<char>(c);
        }
      }
      if (++attributes > kMaxAttributes) Refuse("not a manifest: too many attributes");
      handler_.Attribute(key, std::move(value));
      c = TakeSome();
      if (!IsSpace(c) && c != '>' && c != '/') Refuse("not XML: attributes run together");
    }
  }

  void Close() {
    std::string name = Name(TakeSome());
    if ((IsSpace(last_) ? SkipSpace() : last_) != '>') Refuse("not XML: a broken closing tag");
    if (open_.empty() || open_.back() != name) {
      Refuse("not XML: </" + name + "> closes no open element of that name");
    }
    CloseInnermost();
  }

  void CloseInnermost() {
    handler_.EndElement();
    open_.pop_back();
  }

  std::streambuf* const input_;
  XmlHandler& handler_;
  const std::uint64_t maxSize_;
  std::vector<std::string> open_;  // the names of the open elements, outermost first
  std::string piece_;
  int last_ = 0;  // the character that ended the last name
};

void ReadXml(std::istream& stream, XmlHandler& handler, std::uint64_t maxSize) {
  std::streambuf* input = stream.rdbuf();
  if (input == nullptr) throw ManifestParseException("no text");
  XmlTokenizer(input, handler, maxSize).Read();
}

}  // namespace halv
