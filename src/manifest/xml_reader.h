#ifndef HALV_MANIFEST_XML_READER_H_
#define HALV_MANIFEST_XML_READER_H_

#include <cstdint>
#include <iosfwd>
#include <string>

namespace halv {

// The deepest nesting of elements read: far more than the four levels of a manifest.
constexpr int kMaxXmlDepth = 256;

// Receives the parts of an XML document in document order from ReadXml. Every callback may
// throw ManifestParseException to refuse the document; ReadXml then stops at once.
// Thread-safety: one ReadXml at a time per handler.
class XmlHandler {
 public:
  virtual ~XmlHandler() = default;

  // An element opens; its attributes follow (Attribute), then its content.
  virtual void StartElement(const std::string& name) = 0;
  // One attribute of the element opened last, its value decoded.
  virtual void Attribute(const std::string& name, std::string value) = 0;
  // A piece of the text of the innermost open element, decoded (entities, character
  // references, CDATA). One element's text may come in several pieces, each at most 64 KiB.
  virtual void Text(const std::string& piece) = 0;
  virtual void Comment(std::string text) = 0;
  // The innermost open element closes.
  virtual void EndElement() = 0;

 protected:
  // The bytes of the document read so far: what a handler may weigh its memory against.
  std::uint64_t Consumed() const { return consumed_; }

 private:
  friend class XmlTokenizer;
  std::uint64_t consumed_ = 0;
};

// Reads the XML text of `stream` in one pass, without recursion and without keeping it, and
// hands its parts to `handler`: text untrimmed, the five predefined entities and character
// references decoded, any other entity kept as written. Processing instructions and the XML
// declaration are skipped; document type declarations and every other "<!" markup are refused,
// as are mismatched closing tags, NUL characters, nesting deeper than kMaxXmlDepth and more
// than `maxSize` bytes ("document too large"). Throws ManifestParseException with a message.
// Memory: a name or attribute value at a time, and text in pieces of at most 64 KiB.
void ReadXml(std::istream& stream, XmlHandler& handler, std::uint64_t maxSize);

}  // namespace halv

#endif  // HALV_MANIFEST_XML_READER_H_
