#include "manifest/package_document.h"

#include <algorithm>
#include <utility>

#include <boost/property_tree/ptree.hpp>

#include "manifest/manifest_exception.h"

namespace halv {
namespace {

// What the heap adds to each block: glibc's header and its rounding to 16 bytes.
std::uint64_t Block(std::uint64_t bytes) { return ((bytes + 8 + 15) / 16) * 16; }

std::uint64_t StringCost(const std::string& text) {
  return text.capacity() > 15 ? Block(text.capacity() + 1) : 0;
}

// The cost of one file record beside its path and digests: the manifest and its shared
// pointer's count in one block, and its places in the package's lists (all files, then run or
// other files), each list at up to twice its size while it grows.
constexpr std::uint64_t kFileRecordCost = 2 * 2 * sizeof(std::shared_ptr<const FileManifest>);

// One element field: the first child element of its name wins over an attribute of that name.
struct Field {
  std::optional<std::string> element;
  std::optional<std::string> attribute;

  std::optional<std::string> Take() {
    if (element) return std::move(element);
    return std::move(attribute);
  }
};

[[noreturn]] void Refuse(const std::string& why) { throw ManifestParseException(why); }

}  // namespace

struct PackageDocumentReader::State {
  enum class Role {
    kSkip,  // read, not kept
    kPackage,
    kField,  // text kept in `capture` of its frame
    kFiles,
    kFile,
    kLinks,
    kLink,
    kFolders,
    kFolder,
  };
  struct Frame {
    Role role;
    std::string* capture;
  };

  std::vector<Frame> frames;
  bool sawPackage = false;
  bool sawFiles = false;
  bool filesAttribute = false;
  bool sawLinks = false;
  bool sawFolders = false;
  Field id, name, partnerId, versionId, run;
  // The fields of the file, link or folder element open now.
  Field path, chunkSize, size, checksums, sha256, mode, modificationTime, hardLink, target,
      blockSize, blockAt, blockSha256;
  std::uint64_t cost = 0;

  Field* PackageField(const std::string& key) {
    if (key == "id") return &id;
    if (key == "name") return &name;
    if (key == "partnerId") return &partnerId;
    if (key == "versionId") return &versionId;
    if (key == "run") return &run;
    return nullptr;
  }
  Field* FileField(const std::string& key) {
    if (key == "path") return &path;
    if (key == "chunksize") return &chunkSize;
    if (key == "size") return &size;
    if (key == "checksums") return &checksums;
    if (key == "sha256") return &sha256;
    if (key == "mode") return &mode;
    if (key == "mtime") return &modificationTime;
    if (key == "hardlink") return &hardLink;
    if (key == "blocksize") return &blockSize;
    if (key == "blockat") return &blockAt;
    if (key == "blocksha256") return &blockSha256;
    return nullptr;
  }
  Field* LinkField(const std::string& key) {
    if (key == "path") return &path;
    if (key == "target") return &target;
    return nullptr;
  }
  Field* FolderField(const std::string& key) { return key == "path" ? &path : nullptr; }
  Field* FieldOf(Role role, const std::string& key) {
    switch (role) {
      case Role::kPackage:
        return PackageField(key);
      case Role::kFile:
        return FileField(key);
      case Role::kLink:
        return LinkField(key);
      case Role::kFolder:
        return FolderField(key);
      default:
        return nullptr;
    }
  }
  void ClearRecord() {
    for (Field* field : {&path, &chunkSize, &size, &checksums, &sha256, &mode, &modificationTime,
                         &hardLink, &target, &blockSize, &blockAt, &blockSha256}) {
      *field = Field();
    }
  }
};

PackageDocumentReader::PackageDocumentReader(PackageContents& contents)
    : state_(std::make_unique<State>()), contents_(contents) {}

PackageDocumentReader::~PackageDocumentReader() = default;

void PackageDocumentReader::StartElement(const std::string& name) {
  using Role = State::Role;
  State& s = *state_;
  const Role parent = s.frames.empty() ? Role::kSkip : s.frames.back().role;
  State::Frame frame{Role::kSkip, nullptr};
  if (s.frames.empty()) {
    if (name == "package" && !s.sawPackage) {
      s.sawPackage = true;
      frame.role = Role::kPackage;
    }
  } else if (parent == Role::kPackage && name == "files") {
    if (!s.sawFiles) frame.role = Role::kFiles;
    s.sawFiles = true;
  } else if (parent == Role::kPackage && name == "links") {
    if (!s.sawLinks) frame.role = Role::kLinks;
    s.sawLinks = true;
  } else if (parent == Role::kPackage && name == "folders") {
    if (!s.sawFolders) frame.role = Role::kFolders;
    s.sawFolders = true;
  } else if (parent == Role::kFiles || parent == Role::kLinks || parent == Role::kFolders) {
    const char* expected = parent == Role::kFiles   ? "file"
                           : parent == Role::kLinks ? "link"
                                                    : "folder";
    if (name != expected) {
      Refuse(std::string("not a package document: <") + expected +
             "s> holds an element other than <" + expected + ">");
    }
    s.ClearRecord();
    frame.role = parent == Role::kFiles   ? Role::kFile
                 : parent == Role::kLinks ? Role::kLink
                                          : Role::kFolder;
  } else if (Field* field = s.FieldOf(parent, name); field != nullptr && !field->element) {
    field->element.emplace();
    frame = State::Frame{Role::kField, &*field->element};
  }
  s.frames.push_back(frame);
}

void PackageDocumentReader::Attribute(const std::string& name, std::string value) {
  using Role = State::Role;
  State& s = *state_;
  const Role role = s.frames.back().role;
  if (role == Role::kFiles || role == Role::kLinks || role == Role::kFolders) {
    Refuse("not a package document: <files>, <links> and <folders> take no attributes");
  }
  if (role == Role::kPackage && name == "files") s.filesAttribute = true;
  Field* field = s.FieldOf(role, name);
  if (field != nullptr && !field->attribute) field->attribute = std::move(value);
}

void PackageDocumentReader::Text(const std::string& piece) {
  std::string* capture = state_->frames.back().capture;
  if (capture != nullptr) capture->append(piece);
}

void PackageDocumentReader::Comment(std::string /*text*/) {
  using Role = State::Role;
  if (state_->frames.empty()) return;
  const Role role = state_->frames.back().role;
  if (role == Role::kFiles || role == Role::kLinks || role == Role::kFolders) {
    Refuse("not a package document: a comment inside <files>, <links> or <folders>");
  }
}

void PackageDocumentReader::EndElement() {
  using Role = State::Role;
  State& s = *state_;
  const Role role = s.frames.back().role;
  s.frames.pop_back();
  std::uint64_t cost = 0;
  if (role == Role::kFile) {
    FileFields fields;
    fields.path = s.path.Take();
    fields.chunkSize = s.chunkSize.Take();
    fields.size = s.size.Take();
    fields.checksums = s.checksums.Take();
    fields.sha256 = s.sha256.Take();
    fields.mode = s.mode.Take();
    fields.modificationTime = s.modificationTime.Take();
    fields.blockSize = s.blockSize.Take();
    fields.blockAt = s.blockAt.Take();
    fields.blockSha256 = s.blockSha256.Take();
    auto file = std::make_shared<StandardFileManifest>();
    file->Assign(std::move(fields));
    cost = Block(sizeof(StandardFileManifest) + 16) + kFileRecordCost +
           StringCost(file->GetPath()) +
           Block(file->GetChecksums().capacity() * sizeof(std::uint32_t)) +
           (file->GetSha256s().empty() ? 0 : Block(file->GetSha256s().capacity() * 32)) +
           (file->GetBlockIndex() == nullptr ? 0 : Block(sizeof(BlockIndexPlace) + 16));
    if (auto of = s.hardLink.Take()) {
      cost += StringCost(*of) + 2 * sizeof(PackageContents::HardLink);
      contents_.hardLinks.push_back(PackageContents::HardLink{std::move(file), std::move(*of)});
    } else {
      contents_.files.push_back(std::move(file));
    }
  } else if (role == Role::kLink) {
    auto linkPath = s.path.Take();
    auto target = s.target.Take();
    if (!linkPath || !target) Refuse("not a package document: a <link> without path or target");
    PackageLink link{std::move(*linkPath), std::move(*target)};
    cost = StringCost(link.path) + StringCost(link.target) + 2 * sizeof(PackageLink);
    contents_.links.push_back(std::move(link));
  } else if (role == Role::kFolder) {
    auto folderPath = s.path.Take();
    if (!folderPath) Refuse("not a package document: a <folder> without path");
    cost = StringCost(*folderPath) + 2 * sizeof(std::string);
    contents_.folders.push_back(std::move(*folderPath));
  }
  s.cost += cost;
  if (s.cost > std::max(kPackageCostPerByte * Consumed(), kPackageCostFloor)) {
    Refuse("document too large for its size: its records would take more than " +
           std::to_string(kPackageCostPerByte) + " times its text in memory");
  }
}

void PackageDocumentReader::Finish() {
  State& s = *state_;
  if (!s.sawPackage) Refuse("not a package document: no <package>");
  if (!s.sawFiles && !s.filesAttribute) Refuse("not a package document: no <files>");
  const auto required = [](Field& field, std::string& into) {
    auto text = field.Take();
    if (!text)
      Refuse("not a package document: <id>, <name>, <partnerId> or <versionId> is missing");
    into = std::move(*text);
  };
  required(s.id, contents_.id);
  required(s.name, contents_.name);
  required(s.partnerId, contents_.partnerId);
  required(s.versionId, contents_.versionId);
  contents_.run = s.run.Take().value_or(std::string());
}

namespace {

void WalkElement(const std::string& name, const boost::property_tree::ptree& element,
                 XmlHandler& handler) {
  handler.StartElement(name);
  if (const auto attributes = element.get_child_optional("<xmlattr>")) {
    for (const auto& attribute : *attributes) {
      handler.Attribute(attribute.first, attribute.second.data());
    }
  }
  if (!element.data().empty()) handler.Text(element.data());
  for (const auto& child : element) {
    if (child.first == "<xmlattr>") continue;
    if (child.first == "<xmlcomment>") {
      handler.Comment(child.second.data());
    } else {
      WalkElement(child.first, child.second, handler);
    }
  }
  handler.EndElement();
}

}  // namespace

void WalkXmlTree(const boost::property_tree::ptree& tree, XmlHandler& handler) {
  for (const auto& child : tree) {
    if (child.first == "<xmlcomment>") {
      handler.Comment(child.second.data());
    } else if (child.first != "<xmlattr>") {
      WalkElement(child.first, child.second, handler);
    }
  }
}

}  // namespace halv
