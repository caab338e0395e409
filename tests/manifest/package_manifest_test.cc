#include "manifest/package_manifest.h"

#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/property_tree/ptree.hpp>

#include "manifest/manifest_exception.h"
#include "manifest/xml_manifest_parser.h"
#include "read_both_ways.h"

namespace halv {
namespace {

using boost::property_tree::ptree;

// The tree the XML source hands to Read: attributes are also copied to plain children.
ptree Tree(const std::string& xml) {
  std::istringstream stream(xml);
  ptree tree;
  ParseXmlManifest(stream, tree);
  return tree;
}

std::string File(const std::string& path, const std::string& chunkSize, const std::string& size,
                 const std::string& checksums) {
  return "<file><path>" + path + "</path><chunksize>" + chunkSize + "</chunksize><size>" + size +
         "</size><checksums>" + checksums + "</checksums></file>";
}

std::string Package(const std::string& files, const std::string& run = "<run>bin/app</run>") {
  return "<package><id>abc</id><name>Demo</name><partnerId>R</partnerId><versionId>7</versionId>" +
         run + "<files>" + files + "</files></package>";
}

const std::string kRunFile = File("bin/app", "4", "10", "0000000aDEADbeef00000001");
const std::string kDataFile = File("data/a.bin", "1048576", "0", "");

StandardPackageManifest ReadPackage(const std::string& xml) { return test::ReadBothWays(xml); }

std::vector<std::string> Paths(const PackageManifest::FileList& files) {
  std::vector<std::string> paths;
  for (const auto& file : files) paths.push_back(file->GetPath());
  return paths;
}

TEST(PackageManifestTest, ReadsEveryFieldOfAWellFormedDocument) {
  const auto manifest = ReadPackage(Package(kDataFile + kRunFile));
  EXPECT_EQ(manifest.GetId(), "abc");
  EXPECT_EQ(manifest.GetName(), "Demo");
  EXPECT_EQ(manifest.GetPartnerId(), "R");
  EXPECT_EQ(manifest.GetVersionId(), "7");
  EXPECT_EQ(manifest.GetRun(), "bin/app");
  EXPECT_EQ(Paths(manifest.GetFiles()), (std::vector<std::string>{"data/a.bin", "bin/app"}));
  EXPECT_EQ(Paths(manifest.GetRunFiles()), std::vector<std::string>{"bin/app"});
  EXPECT_EQ(Paths(manifest.GetOtherFiles()), std::vector<std::string>{"data/a.bin"});
  ASSERT_TRUE(manifest.GetRunFile());
  EXPECT_EQ(manifest.GetRunFile(), manifest.GetRunFiles().front());
  EXPECT_EQ(manifest.GetTotalSize(), 10u);

  const auto& run = *manifest.GetRunFile();
  EXPECT_EQ(run.GetChunkSize(), 4u);
  EXPECT_EQ(run.GetSize(), 10u);
  EXPECT_EQ(run.GetChunkCount(), 3u);
  EXPECT_EQ(run.GetChecksums(), (std::vector<std::uint32_t>{0xa, 0xdeadbeef, 1}));
}

TEST(PackageManifestTest, AttributesReadLikeChildElements) {
  const auto manifest = ReadPackage(
      "<package id='abc' name='Demo' partnerId='R' versionId='7' run='bin/app'><files>"
      "<file><path>bin/app</path><chunksize>4</chunksize><size>10</size>"
      "<checksums>0000000a0000000b0000000c</checksums></file></files></package>");
  EXPECT_EQ(manifest.GetId(), "abc");
  EXPECT_EQ(manifest.GetName(), "Demo");
  EXPECT_EQ(manifest.GetPartnerId(), "R");
  EXPECT_EQ(manifest.GetVersionId(), "7");
  ASSERT_TRUE(manifest.GetRunFile());
  EXPECT_EQ(manifest.GetRunFile()->GetPath(), "bin/app");
}

TEST(PackageManifestTest, ChildElementWinsOverAttributeOfTheSameName) {
  const auto manifest = ReadPackage(
      "<package id='fromAttribute'><id>fromChild</id><name>n</name><partnerId>R</partnerId>"
      "<versionId>7</versionId><files/></package>");
  EXPECT_EQ(manifest.GetId(), "fromChild");
}

TEST(PackageManifestTest, IdTextIsTakenUntrimmed) {
  const auto manifest = ReadPackage(
      "<package><id> abc </id><name>n</name><partnerId>R</partnerId><versionId>7</versionId>"
      "<files/></package>");
  EXPECT_EQ(manifest.GetId(), " abc ");
}

TEST(PackageManifestTest, NoFilesGiveAnEmptyPackage) {
  const auto manifest = ReadPackage(Package("", ""));
  EXPECT_TRUE(manifest.GetFiles().empty());
  EXPECT_EQ(manifest.GetTotalSize(), 0u);
  EXPECT_FALSE(manifest.GetRunFile());
}

TEST(PackageManifestTest, WithoutRunPathEveryFileIsAnOtherFile) {
  for (const std::string& run : {std::string(), std::string("<run></run>")}) {
    SCOPED_TRACE(run);
    const auto manifest = ReadPackage(Package(kDataFile + kRunFile, run));
    EXPECT_EQ(manifest.GetRun(), "");
    EXPECT_FALSE(manifest.GetRunFile());
    EXPECT_TRUE(manifest.GetRunFiles().empty());
    EXPECT_EQ(Paths(manifest.GetOtherFiles()), (std::vector<std::string>{"data/a.bin", "bin/app"}));
  }
}

TEST(PackageManifestTest, LeadingSlashesAreTheOnlySpellingAllowance) {
  const auto manifest = ReadPackage(Package(File("//bin/app", "4", "4", "00000002"), ""));
  EXPECT_EQ(manifest.GetFiles()[0]->GetPath(), "//bin/app");
}

TEST(PackageManifestTest, RefusesPathsThatCannotNameAFileOfTheDestination) {
  const struct {
    std::string path;
    const char* named;  // how the message names the entry
  } cases[] = {
      {"../escape.txt", "../escape.txt"},
      {"a/../../x", "a/../../x"},
      {"a/./b", "a/./b"},
      {"a//b", "a//b"},
      {"a/", "a/"},
      {"/", "/"},
      {"bin/app.halvane-part", "bin/app.halvane-part"},
      {"a\\..\\b", "a\\x5c..\\x5cb"},
      {"tab\there", "tab\\x09here"},
      {"bad\xff", "bad\\xff"},
      {"overlong\xc0\xaf", "overlong\\xc0\\xaf"},
      {std::string(256, 'n'), "nnnn"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.named);
    try {
      ReadPackage(Package(File(c.path, "4", "4", "00000002"), ""));
      ADD_FAILURE() << "accepted";
    } catch (const ManifestParseException& error) {
      EXPECT_NE(std::string(error.what()).find(c.named), std::string::npos) << error.what();
    }
  }
  // 255 bytes and multi-byte UTF-8 are fine.
  EXPECT_NO_THROW(ReadPackage(Package(File(std::string(255, 'n'), "4", "4", "00000002"), "")));
  EXPECT_NO_THROW(ReadPackage(Package(File("caf\xc3\xa9/\xe2\x82\xac", "4", "4", "00000002"), "")));
}

TEST(PackageManifestTest, RefusesTwoFilesAtOnePathAndAFileThatIsAFolder) {
  const std::string second = File("bin/app", "4", "4", "00000002");
  const struct {
    const char* what;
    std::string files;
  } cases[] = {
      {"the run file twice", kRunFile + kDataFile + second},
      {"one path spelt with a leading slash", kRunFile + File("/bin/app", "4", "4", "00000002")},
      {"a file that is another's folder", kRunFile + File("bin/app/x", "4", "4", "00000002")},
      {"a folder listed after its file", File("bin/app/x", "4", "4", "00000002") + kRunFile},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    try {
      ReadPackage(Package(c.files));
      ADD_FAILURE() << "accepted";
    } catch (const ManifestParseException& error) {
      EXPECT_NE(std::string(error.what()).find("bin/app"), std::string::npos) << error.what();
    }
  }
}

TEST(PackageManifestTest, RunPathComparisonIsExact) {
  EXPECT_THROW(ReadPackage(Package(kRunFile, "<run>BIN/app</run>")), ManifestParseException);
  EXPECT_THROW(ReadPackage(Package(kRunFile, "<run>bin/app </run>")), ManifestParseException);
}

TEST(PackageManifestTest, RejectsDefectiveDocuments) {
  const std::string header =
      "<package><id>abc</id><name>Demo</name><partnerId>R</partnerId><versionId>7</versionId>";
  const struct {
    const char* what;
    std::string xml;
  } cases[] = {
      {"no package root", "<pkg><id>abc</id></pkg>"},
      {"missing id",
       "<package><name>n</name><partnerId>R</partnerId><versionId>7</versionId><files/>"
       "</package>"},
      {"missing name",
       "<package><id>a</id><partnerId>R</partnerId><versionId>7</versionId><files/></package>"},
      {"missing partnerId",
       "<package><id>a</id><name>n</name><versionId>7</versionId><files/></package>"},
      {"missing versionId",
       "<package><id>a</id><name>n</name><partnerId>R</partnerId><files/></package>"},
      {"empty id",
       "<package><id/><name>n</name><partnerId>R</partnerId><versionId>7</versionId><files/>"
       "</package>"},
      {"empty versionId",
       "<package><id>a</id><name>n</name><partnerId>R</partnerId><versionId></versionId>"
       "<files/></package>"},
      {"missing files", header + "</package>"},
      {"attribute on files", header + "<files count='1'>" + kDataFile + "</files></package>"},
      {"comment inside files",
       header + "<files>" + kDataFile + "<!-- x -->" + kDataFile + "</files></package>"},
      {"other element inside files", header + "<files><folder/></files></package>"},
      {"run names no file", Package(kDataFile, "<run>missing</run>")},
      {"defective file", Package(File("", "4", "4", "00000000"), "")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_THROW(ReadPackage(c.xml), ManifestParseException);
  }
}

// Reads one file element alone, as the package reads each child of files.
StandardFileManifest ReadFile(const std::string& xml) {
  StandardFileManifest file;
  file.Read(Tree(xml).get_child("file"));
  return file;
}

TEST(FileManifestTest, AcceptsValidFiles) {
  const struct {
    const char* what;
    std::string xml;
    std::uint32_t chunkCount;
  } cases[] = {
      {"empty file", File("a", "1048576", "0", ""), 0},
      {"empty file ignores checksum text", File("a", "1048576", "0", "0000000000000000"), 0},
      {"two and a half chunks", File("a", "4", "10", std::string(24, 'f')), 3},
      {"exact multiple", File("a", "4", "8", std::string(16, '0')), 2},
      {"one short chunk", File("a", "1048576", "1", "cbf43926"), 1},
      {"numbers with surrounding white space", File("a", " 4\n", "\t10 ", std::string(24, '1')), 3},
      {"largest chunk size", File("a", "4294967295", "4294967296", std::string(16, 'A')), 2},
      {"attribute form",
       "<file path='a' chunksize='4' size='4'><checksums>00000001</checksums></file>", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto file = ReadFile(c.xml);
    EXPECT_EQ(file.GetChunkCount(), c.chunkCount);
    EXPECT_EQ(file.GetChecksums().size(), c.chunkCount);
  }
}

TEST(FileManifestTest, ChecksumDigitsAreCaseInsensitiveHex) {
  const auto file = ReadFile(File("a", "1", "3", "DEADBEEFdeadbeef0123ABcd"));
  EXPECT_EQ(file.GetChecksums(), (std::vector<std::uint32_t>{0xdeadbeef, 0xdeadbeef, 0x0123abcd}));
}

TEST(FileManifestTest, AGroupWrittenWithTheHexPrefixReadsAsHex) {
  const auto file = ReadFile(File("a", "1", "3", "0x12abcd0X00BEEF000000ff"));
  EXPECT_EQ(file.GetChecksums(), (std::vector<std::uint32_t>{0x12abcd, 0xbeef, 0xff}));
}

TEST(FileManifestTest, RejectsDefectiveFiles) {
  const std::string three = std::string(24, '0');
  const struct {
    const char* what;
    std::string xml;
  } cases[] = {
      {"missing path", "<file><chunksize>4</chunksize><size>0</size><checksums/></file>"},
      {"empty path", File("", "4", "0", "")},
      {"missing chunksize", "<file><path>a</path><size>0</size><checksums/></file>"},
      {"missing size", "<file><path>a</path><chunksize>4</chunksize><checksums/></file>"},
      {"missing checksums", "<file><path>a</path><chunksize>4</chunksize><size>0</size></file>"},
      {"zero chunk size", File("a", "0", "0", "")},
      {"chunk size not a number", File("a", "four", "10", three)},
      {"chunk size with trailing text", File("a", "4 bytes", "10", three)},
      {"negative chunk size", File("a", "-4", "10", three)},
      {"signed chunk size", File("a", "+4", "10", three)},
      {"signed size", File("a", "4", "+10", three)},
      {"chunk size over 32 bits", File("a", "4294967296", "10", "00000000")},
      {"negative size", File("a", "4", "-1", "")},
      {"size over 64 bits", File("a", "4", "18446744073709551616", "")},
      {"rounding addition overflows", File("a", "2", "18446744073709551615", "")},
      {"more than 2^32-1 chunks", File("a", "1", "1099511627776", "")},
      {"too few checksum digits", File("a", "4", "10", std::string(23, '0'))},
      {"too many checksum digits", File("a", "4", "10", std::string(25, '0'))},
      {"space inside checksums", File("a", "4", "10", "00000000 0000000000000000")},
      {"line break inside checksums", File("a", "4", "10", "00000000\n0000000000000000")},
      {"checksums with surrounding white space", File("a", "4", "10", " " + three)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_THROW(ReadFile(c.xml), ManifestParseException);
  }
}

TEST(FileManifestTest, ChunkCountArithmetic) {
  const struct {
    std::uint64_t size;
    std::uint32_t chunkSize;
    std::uint32_t count;
  } cases[] = {
      {0, 0, 0},
      {100, 0, 0},
      {0, 1, 0},
      {1, 1, 1},
      {10, 4, 3},
      {8, 4, 2},
      {9, 4, 3},
      {UINT32_MAX, 1, UINT32_MAX},
      {std::uint64_t{UINT32_MAX} * UINT32_MAX, UINT32_MAX, UINT32_MAX},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.size << " / " << c.chunkSize);
    EXPECT_EQ(FileManifest::ComputeChunkCount(c.size, c.chunkSize), c.count);
  }
}

TEST(FileManifestTest, ChunkCountOverflowsOutsideRead) {
  const struct {
    std::uint64_t size;
    std::uint32_t chunkSize;
  } cases[] = {
      {UINT64_MAX, 2},
      {UINT64_MAX - 1, 3},
      {std::uint64_t{1} << 40, 1},
      {std::uint64_t{UINT32_MAX} + 1, 1},
      {UINT64_MAX, UINT32_MAX},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.size << " / " << c.chunkSize);
    EXPECT_THROW(FileManifest::ComputeChunkCount(c.size, c.chunkSize), ManifestOverflowException);
  }
}

}  // namespace
}  // namespace halv
