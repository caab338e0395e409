#ifndef HALV_MANIFEST_XML_MANIFEST_PARSER_H_
#define HALV_MANIFEST_XML_MANIFEST_PARSER_H_

#include <cstdint>
#include <iosfwd>

#include <boost/property_tree/ptree_fwd.hpp>

#include "manifest/xml_reader.h"

namespace halv {

// The most text ParseXmlManifest reads: node lists and small documents. Package documents are
// read without a tree (StandardPackageManifest::ReadXml) and may be larger.
constexpr std::uint64_t kMaxXmlDocumentSize = std::uint64_t{64} << 20;

// What the tree of a document may cost in memory: 7 times the text read so far, and at least
// kXmlTreeCostFloor. A tree node costs about 300 bytes, so a document of many tiny elements is
// refused ("document too large") long before its tree could exhaust memory. With the text itself,
// reading takes at most 8 times the document, or the floor and the document for smaller ones;
// never more than 512 MiB at kMaxXmlDocumentSize.
constexpr std::uint64_t kXmlTreeCostPerByte = 7;
constexpr std::uint64_t kXmlTreeCostFloor = std::uint64_t{48} << 20;

// Reads an XML document into `tree` with ReadXml (manifest/xml_reader.h), in the shape of the
// property tree library's XML reader: text untrimmed (the pieces of one element concatenated),
// comments under "<xmlcomment>", attributes under "<xmlattr>", then a copy of every attribute
// appended to its element as a plain child once the element closes. Refuses what ReadXml
// refuses, more than kMaxXmlDocumentSize bytes and a tree costlier than the budget above
// ("document too large"). Any failure throws ManifestParseException with a message and leaves
// `tree` empty. Thread-safety: reentrant.
void ParseXmlManifest(std::istream& stream, boost::property_tree::ptree& tree);

}  // namespace halv

#endif  // HALV_MANIFEST_XML_MANIFEST_PARSER_H_
