#ifndef HALV_MANIFEST_PACKAGE_DOCUMENT_H_
#define HALV_MANIFEST_PACKAGE_DOCUMENT_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/property_tree/ptree_fwd.hpp>

#include "manifest/file_manifest.h"
#include "manifest/package_manifest.h"
#include "manifest/xml_reader.h"

namespace halv {

// What a package document says, each file already read into its record, before the package as
// a whole is checked (StandardPackageManifest does that).
struct PackageContents {
  std::string id;
  std::string name;
  std::string partnerId;
  std::string versionId;
  std::string run;
  // Every file element that is not a hard link of another, in document order.
  PackageManifest::FileList files;
  // The file elements that are: each with the path of the file it is a second name of, as
  // written.
  struct HardLink {
    std::shared_ptr<const FileManifest> file;
    std::string of;
  };
  std::vector<HardLink> hardLinks;
  std::vector<PackageLink> links;
  std::vector<std::string> folders;
};

// Reads a package document from the parts of its XML text straight into `contents`, one file
// element at a time, keeping no tree: the elements of package are read by name (a child
// element before an attribute of the same name, the first of several), files, links and folders
// hold nothing but file, link and folder elements (no attribute, no comment), and everything
// else is skipped unread. The records may take at most kPackageCostPerByte times the text
// read so far, and at least kPackageCostFloor ("document too large for its size").
// Ownership: `contents` must outlive the reader. Thread-safety: one thread.
class PackageDocumentReader : public XmlHandler {
 public:
  static constexpr std::uint64_t kPackageCostPerByte = 8;
  static constexpr std::uint64_t kPackageCostFloor = std::uint64_t{48} << 20;

  explicit PackageDocumentReader(PackageContents& contents);
  ~PackageDocumentReader() override;

  void StartElement(const std::string& name) override;
  void Attribute(const std::string& name, std::string value) override;
  void Text(const std::string& piece) override;
  void Comment(std::string text) override;
  void EndElement() override;

  // Once the document has been read: throws ManifestParseException when an element that every
  // package has is missing.
  void Finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
  PackageContents& contents_;
};

// Hands the parts of an already parsed document to `handler` as ReadXml would have (attributes
// under "<xmlattr>", comments under "<xmlcomment>"; the copies of attributes that the tree holds
// as plain children come as elements after the real ones).
void WalkXmlTree(const boost::property_tree::ptree& tree, XmlHandler& handler);

}  // namespace halv

#endif  // HALV_MANIFEST_PACKAGE_DOCUMENT_H_
