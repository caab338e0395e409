// The package document read straight into file records: the memory a file costs (stated in
// docs/formats.md), a document of a million files, and the densest a hostile document can be.
#include "manifest/package_document.h"

#include <malloc.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <istream>
#include <streambuf>
#include <string>

#include <gtest/gtest.h>

#include "manifest/manifest_exception.h"
#include "manifest/package_manifest.h"

namespace halv {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// What docs/formats.md states a file of one chunk costs in memory once read, with its CRC-32
// and SHA-256: this much, and for a path longer than 15 bytes twice its length besides. Keep the
// two in step.
constexpr std::uint64_t kStatedBytesPerFile = 320;

// A package document made as it is read: `count` file elements from `element(i)`, so that a
// document of hundreds of megabytes never exists as one text.
class GeneratedDocument : public std::streambuf {
 public:
  GeneratedDocument(std::uint64_t count, std::function<std::string(std::uint64_t)> element)
      : count_(count), element_(std::move(element)) {
    piece_ =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<package><id>abc</id><name>Demo</name>"
        "<partnerId>R</partnerId><versionId>7</versionId><files>\n";
    setg(piece_.data(), piece_.data(), piece_.data() + piece_.size());
  }
  std::uint64_t size() const { return size_; }

 protected:
  int_type underflow() override {
    size_ += piece_.size();
    piece_.clear();
    if (next_ < count_) {
      for (int i = 0; i < 1024 && next_ < count_; ++i) piece_ += element_(next_++);
    } else if (!ended_) {
      piece_ = "</files></package>\n";
      ended_ = true;
    } else {
      return traits_type::eof();
    }
    setg(piece_.data(), piece_.data(), piece_.data() + piece_.size());
    return traits_type::to_int_type(piece_[0]);
  }

 private:
  const std::uint64_t count_;
  const std::function<std::string(std::uint64_t)> element_;
  std::string piece_;
  std::uint64_t next_ = 0;
  std::uint64_t size_ = 0;
  bool ended_ = false;
};

// Blocks in use, those the allocator maps on their own (the big lists) included.
std::uint64_t HeapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// A file of one chunk as the publisher writes it, with a path of `pathLength` bytes.
std::string PublishedFile(std::uint64_t i, std::size_t pathLength) {
  char name[32];
  std::snprintf(name, sizeof name, "d%04llu/f%07llu", static_cast<unsigned long long>(i / 1000),
                static_cast<unsigned long long>(i));
  std::string path(name);
  path.resize(pathLength, 'x');
  return "<file><path>" + path +
         "</path><chunksize>1048576</chunksize><size>3500</size><checksums>1234abcd</checksums>"
         "<sha256>" +
         std::string(64, 'a') + "</sha256><mode>644</mode><mtime>1700000000</mtime></file>\n";
}

TEST(PackageDocumentTest, AMillionFilesReadWithinTheStatedMemory) {
  // The sanitizers' heaps cost more and run slower: they read fewer files, and are not weighed.
  const std::uint64_t count = kSanitized ? 100'000 : 1'000'000;
  for (const std::size_t pathLength : {std::size_t{14}, std::size_t{40}}) {
    SCOPED_TRACE(pathLength);
    GeneratedDocument document(count,
                               [&](std::uint64_t i) { return PublishedFile(i, pathLength); });
    std::istream stream(&document);
    malloc_trim(0);
    const std::uint64_t before = HeapInUse();
    StandardPackageManifest manifest;
    manifest.ReadXml(stream);
    ASSERT_EQ(manifest.GetFiles().size(), count);
    EXPECT_EQ(manifest.GetFiles().back()->GetSha256s().size(), 1u);
    if (kSanitized) continue;
    const double perFile = static_cast<double>(HeapInUse() - before) / static_cast<double>(count);
    // A path of up to 15 bytes lives inside its record; a longer one has a block of its own.
    const double path = pathLength > 15 ? 2.0 * static_cast<double>(pathLength) : 0;
    std::printf("[ memory   ] %llu files, %.0f MB of text, paths of %zu bytes: %.0f bytes a file\n",
                static_cast<unsigned long long>(count), static_cast<double>(document.size()) / 1e6,
                pathLength, perFile);
    EXPECT_LE(perFile, static_cast<double>(kStatedBytesPerFile) + path);
  }
}

// The smallest file element a document can hold costs its records more than its text; they
// still stay within the eight times the text that the reader allows.
TEST(PackageDocumentTest, TheDensestFileElementsStayWithinEightTimesTheirText) {
  const std::uint64_t count = kSanitized ? 50'000 : 500'000;
  GeneratedDocument document(count, [](std::uint64_t i) {
    return "<file path=\"" + std::to_string(i) + "\" chunksize=\"1\" size=\"0\" checksums=\"\"/>";
  });
  std::istream stream(&document);
  malloc_trim(0);
  const std::uint64_t before = HeapInUse();
  StandardPackageManifest manifest;
  manifest.ReadXml(stream);
  ASSERT_EQ(manifest.GetFiles().size(), count);
  if (kSanitized) return;
  const std::uint64_t grown = HeapInUse() - before;
  std::printf("[ memory   ] %.1f MB of the densest text: %.1f MB of records\n",
              static_cast<double>(document.size()) / 1e6, static_cast<double>(grown) / 1e6);
  EXPECT_LE(grown, PackageDocumentReader::kPackageCostPerByte * document.size());
}

}  // namespace
}  // namespace halv
