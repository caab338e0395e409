// Modes, times and links of a package document: what the reader accepts, and every way a
// hostile document could use a link to reach outside the destination.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "manifest/manifest_exception.h"
#include "manifest/package_manifest.h"
#include "read_both_ways.h"

namespace halv {
namespace {

StandardPackageManifest ReadPackage(const std::string& inside) {
  return test::ReadBothWays(
      "<package><id>abc</id><name>Demo</name><partnerId>R</partnerId><versionId>7</versionId>" +
      inside + "</package>");
}

std::string File(const std::string& path, const std::string& extra = "") {
  return "<file><path>" + path +
         "</path><chunksize>4</chunksize><size>4</size>"
         "<checksums>00000002</checksums>" +
         extra + "</file>";
}

std::string Link(const std::string& path, const std::string& target) {
  return "<link><path>" + path + "</path><target>" + target + "</target></link>";
}

// `files` and `links` as the two elements of a package.
std::string Body(const std::string& files, const std::string& links) {
  return "<files>" + files + "</files><links>" + links + "</links>";
}

// The message of the refusal, or "accepted".
std::string Refusal(const std::string& inside) {
  try {
    ReadPackage(inside);
    return "accepted";
  } catch (const ManifestParseException& error) {
    return error.what();
  }
}

TEST(PackageLinksTest, ReadsModesTimesAndLinks) {
  const auto manifest = ReadPackage(
      Body(File("bin/tool", "<mode>4755</mode><mtime>1700000000</mtime>") + File("doc/a"),
           Link("/lib/libx.so", "libx.so.1") + Link("docs", "doc") + Link("d/up", "../doc/a")));
  const auto& tool = *manifest.GetFiles()[0];
  EXPECT_EQ(tool.GetMode(), std::optional<std::uint32_t>(04755));
  EXPECT_EQ(tool.GetModificationTime(), std::optional<std::int64_t>(1700000000));
  EXPECT_EQ(manifest.GetFiles()[1]->GetMode(), std::nullopt);
  EXPECT_EQ(manifest.GetFiles()[1]->GetModificationTime(), std::nullopt);
  ASSERT_EQ(manifest.GetLinks().size(), 3u);
  EXPECT_EQ(manifest.GetLinks()[0].path, "lib/libx.so") << "leading slashes trimmed";
  EXPECT_EQ(manifest.GetLinks()[0].target, "libx.so.1");
  EXPECT_EQ(manifest.GetLinks()[2].target, "../doc/a");
}

TEST(PackageLinksTest, ADocumentWithoutTheNewFieldsReadsAsBefore) {
  const auto manifest = ReadPackage("<files>" + File("a") + "</files>");
  EXPECT_TRUE(manifest.GetLinks().empty());
  EXPECT_EQ(manifest.GetFiles()[0]->GetMode(), std::nullopt);
}

TEST(PackageLinksTest, RefusesGarbageInModeAndTimeNamingTheFile) {
  for (const std::string extra :
       {"<mode>8</mode>", "<mode>0x1ed</mode>", "<mode>-755</mode>", "<mode> 755</mode>",
        "<mode></mode>", "<mode>17777</mode>", "<mode>0000755</mode>", "<mtime>-1</mtime>",
        "<mtime>1.5</mtime>", "<mtime>+5</mtime>", "<mtime>9223372036854775808</mtime>",
        "<mtime>17e8</mtime>", "<mtime></mtime>"}) {
    SCOPED_TRACE(extra);
    const std::string refusal = Refusal("<files>" + File("bin/named", extra) + "</files>");
    EXPECT_NE(refusal.find("bin/named"), std::string::npos) << refusal;
  }
  EXPECT_EQ(Refusal("<files>" + File("a", "<mode>7777</mode><mtime>0</mtime>") + "</files>"),
            "accepted");
}

TEST(PackageLinksTest, RefusesHostileLinksNamingThem) {
  const struct {
    const char* what;
    std::string files;
    std::string links;
    const char* named;  // in the message
  } cases[] = {
      {"plain escape", "", Link("a", "../x"), "\"a\""},
      {"escape from a folder", "", Link("d/a", "../../x"), "d/a"},
      {"escape through a link chain", "", Link("d/b", "..") + Link("d/c", "b/../x"), "d/c"},
      {"chain listed the other way", "", Link("d/c", "b/../x") + Link("d/b", ".."), "d/c"},
      {"escape by a link to a link to the root", "",
       Link("top", ".") + Link("d/e/up", "../../top/.."), "d/e/up"},
      {"escape through an absolute link", "", Link("a", "/etc") + Link("b", "a/passwd"),
       "absolute link \"a\""},
      {"empty target", "", Link("a", ""), "empty target"},
      {"control character in target", "", Link("a", "x&#10;y"), "control"},
      {"loop", "", Link("a", "b/x") + Link("b", "a/y"), "loops"},
      {"link at a file's path", File("a"), Link("a", "b"), "is also a file"},
      {"link listed twice", "", Link("a", "b") + Link("/a", "c"), "listed twice"},
      {"link inside a file", File("a"), Link("a/b", "c"), "folder of"},
      {"file through a link", File("d/f"), Link("d", "e"), "passes through the link"},
      {"link through a link", "", Link("d", "e") + Link("d/x", "y"), "passes through the link"},
      {"link path with ..", "", Link("a/../b", "c"), "the link"},
      {"link at an unfinished download's name", "", Link("a.halvane-part", "c"), "unfinished"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string refusal = Refusal(Body(c.files, c.links));
    EXPECT_NE(refusal.find(c.named), std::string::npos) << refusal;
  }
}

TEST(PackageLinksTest, AcceptsLinksThatStayInside) {
  for (const std::string& links :
       {Link("a", "."), Link("d/a", ".."), Link("d/a", "../d/./b"), Link("a", "missing/x"),
        Link("d/b", ".") + Link("d/c", "b/b/../x"), Link("a", "b") + Link("b", "c"),
        Link("bin/python", "/usr/bin/python3"),
       Link("bin/python", "python3") + Link("bin/python3", "/usr/bin/python3")}) {
    SCOPED_TRACE(links);
    EXPECT_EQ(Refusal(Body("", links)), "accepted");
  }
}

TEST(PackageLinksTest, ReadsEmptyFoldersAndHardLinks) {
  const auto manifest = ReadPackage("<files>" + File("a") + File("b", "<hardlink>a</hardlink>") +
                                    File("d/c", "<hardlink>/a</hardlink>") + "</files><links>" +
                                    Link("bin/python", "/usr/bin/python3") +
                                    "</links><folders><folder><path>/empty</path></folder>"
                                    "<folder path=\"share/also/empty\"/></folders>");
  ASSERT_EQ(manifest.GetFiles().size(), 1u) << "a hard link is not downloaded";
  ASSERT_EQ(manifest.GetHardLinks().size(), 2u);
  EXPECT_EQ(manifest.GetHardLinks()[0].path, "b");
  EXPECT_EQ(manifest.GetHardLinks()[1].path, "d/c");
  EXPECT_EQ(manifest.GetHardLinks()[1].file, manifest.GetFiles()[0]);
  EXPECT_EQ(manifest.GetTotalSize(), 4u);
  EXPECT_TRUE(manifest.GetLinks()[0].IsAbsolute());
  EXPECT_EQ(manifest.GetFolders(), (std::vector<std::string>{"empty", "share/also/empty"}));
}

TEST(PackageLinksTest, RefusesHardLinksAndFoldersThatContradictThePackage) {
  const struct {
    const char* what;
    std::string inside;
    const char* named;  // in the message
  } cases[] = {
      {"hard link of nothing", "<files>" + File("b", "<hardlink>a</hardlink>") + "</files>",
       "no file of the package"},
      {"hard link of a hard link",
       "<files>" + File("a") + File("b", "<hardlink>a</hardlink>") +
           File("c", "<hardlink>b</hardlink>") + "</files>",
       "\"c\" is a hard link of \"b\", which is no file"},
      {"hard link that differs",
       "<files>" + File("a") +
           "<file><path>b</path><chunksize>4</chunksize><size>4</size>"
           "<checksums>00000003</checksums><hardlink>a</hardlink></file></files>",
       "differs"},
      {"hard link at a file's path",
       "<files>" + File("a") + File("a", "<hardlink>a</hardlink>") + "</files>", "listed twice"},
      {"folder at a file's path",
       "<files>" + File("a") + "</files><folders><folder><path>a</path></folder></folders>",
       "also a file"},
      {"folder listed twice",
       "<files/><folders><folder><path>e</path></folder><folder><path>/e</path></folder>"
       "</folders>",
       "listed twice"},
      {"folder through a link",
       "<files/><links>" + Link("d", "e") +
           "</links><folders><folder><path>d/x</path></folder></folders>",
       "passes through the link"},
      {"folder inside a file",
       "<files>" + File("a") + "</files><folders><folder><path>a/x</path></folder></folders>",
       "folder of"},
      {"folder with ..", "<files/><folders><folder><path>a/../b</path></folder></folders>",
       "the folder"},
      {"something else among folders", "<files/><folders><file/></folders>", "<folder>"},
      {"a comment among folders", "<files/><folders><!-- x --></folders>", "comment"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string refusal = Refusal(c.inside);
    EXPECT_NE(refusal.find(c.named), std::string::npos) << refusal;
  }
}

TEST(PackageLinksTest, TheRunFileIsNeverAHardLink) {
  const std::string refusal =
      Refusal("<run>b</run><files>" + File("a") + File("b", "<hardlink>a</hardlink>") + "</files>");
  EXPECT_NE(refusal.find("run file"), std::string::npos) << refusal;
}

}  // namespace
}  // namespace halv
