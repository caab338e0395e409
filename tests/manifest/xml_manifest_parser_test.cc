#include "manifest/xml_manifest_parser.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/property_tree/ptree.hpp>

#include "child_process.h"
#include "manifest/manifest_exception.h"

namespace halv {
namespace {

using boost::property_tree::ptree;

// Reads a string in place, so that a test of memory does not count a copy of the text.
class StringViewBuffer : public std::streambuf {
 public:
  explicit StringViewBuffer(std::string& text) {
    setg(text.data(), text.data(), text.data() + text.size());
  }
};

ptree Parse(const std::string& text) {
  std::istringstream stream(text);
  ptree tree;
  ParseXmlManifest(stream, tree);
  return tree;
}

// The message of the refusal of `text`, or "read" when it was read.
std::string Refusal(const std::string& text) {
  try {
    Parse(text);
    return "read";
  } catch (const ManifestParseException& e) {
    return e.what();
  }
}

std::string Fixture(const std::string& name) {
  std::ifstream file(std::string(HALV_MANIFEST_DOCUMENTS) + "/" + name, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  EXPECT_FALSE(text.str().empty()) << name;
  return text.str();
}

std::string Repeat(const std::string& piece, std::size_t count) {
  std::string text;
  text.reserve(piece.size() * count);
  for (std::size_t i = 0; i < count; ++i) text += piece;
  return text;
}

// Crafted heads followed by deep nesting: a reader that skips such a head differently from
// how it is read would let the nesting through to the stack.
TEST(XmlReaderTest, CraftedDocumentsAreRefusedWithoutCrashing) {
  const std::string deep = Repeat("<a>", 30000);
  for (const std::string name : {"declaration_bracket.xml", "declaration_quote.xml",
                                 "doctype_entities.xml", "open_cdata.xml"}) {
    SCOPED_TRACE(name);
    const std::string head = Fixture(name);
    EXPECT_NE(Refusal(head), "read");
    EXPECT_NE(Refusal(head + deep), "read");
  }
  EXPECT_NE(Refusal(deep).find("nested deeper than 256"), std::string::npos);
}

TEST(XmlReaderTest, NestsUpToTheLimitAndNoDeeper) {
  EXPECT_NO_THROW(Parse(Repeat("<a x='>'>", 256) + Repeat("</a>", 256)));
  EXPECT_EQ(Refusal(Repeat("<a>", 257) + Repeat("</a>", 257)),
            "not a manifest: elements nested deeper than 256");
  EXPECT_NO_THROW(Parse("<r>" + Repeat("<e/><!-- <x> --><![CDATA[<y>]]><?pi <z>?>", 1000) + "</r>"));
}

TEST(XmlReaderTest, ReadsTextEntitiesAndSectionsAsTheTreeExpects) {
  const ptree tree = Parse(
      "\xef\xbb\xbf<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<r k=\"&lt;&#65;&#x42;&amp;\">"
      "a&gt;<![CDATA[<&x;>]]>&unknown; &amp<e/>&quot;&apos;&#xe9;</r>");
  const ptree& r = tree.get_child("r");
  EXPECT_EQ(r.data(), "a><&x;>&unknown; &amp\"'\xc3\xa9");
  EXPECT_EQ(r.get<std::string>("<xmlattr>.k"), "<AB&");
  EXPECT_EQ(r.get<std::string>("k"), "<AB&");
}

TEST(XmlReaderTest, RefusesWhatNoManifestHolds) {
  const struct {
    std::string text;
    std::string refusal;
  } cases[] = {
      {"<a></b>", "not XML: </b> closes no open element of that name"},
      {"</a>", "not XML: </a> closes no open element of that name"},
      {std::string("<a>\0</a>", 8), "not XML: a NUL character"},
      {"<a>&#0;</a>", "not XML: a broken character reference"},
      {"<a>&#xd800;</a>", "not XML: a broken character reference"},
      {"<a x='1'y='2'/>", "not XML: attributes run together"},
      {"<a x=1/>", "not XML: an attribute value without quotes"},
      {"<a x='<'/>", "not XML: '<' inside a value"},
      {"<a/>text", "not XML: text outside the root element"},
      {"<a><!ENTITY x 'y'></a>", "not XML a manifest may hold: a declaration <!E"},
      {"<" + std::string(300, 'n') + "/>", "not XML: a name longer than any manifest uses"},
      {"<a" + Repeat(" x=''", 257) + "/>", "not a manifest: too many attributes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 40));
    EXPECT_EQ(Refusal(c.text), c.refusal);
  }
}

std::uint64_t VirtualMemory() {
  std::ifstream statm("/proc/self/statm");
  std::uint64_t pages = 0;
  statm >> pages;
  return pages * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
}

std::uint64_t PeakResident() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stoull(line.substr(6)) << 10;
  }
  return 0;
}

// Reads `text` in a child whose address space may grow by at most 7 times the text beyond what
// it holds with the text (8 times the text in all); returns "" when the text was read, the
// refusal otherwise. Prints the peak memory the reading added.
std::string ReadUnderTheLimit(std::string text, const char* label) {
  return test::RunInChild([&]() -> std::string {
    StringViewBuffer buffer(text);
    std::istream stream(&buffer);
    const std::uint64_t before = PeakResident();
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) != 0) return "getrlimit failed";
    limit.rlim_cur = VirtualMemory() + 7 * text.size();
    if (setrlimit(RLIMIT_AS, &limit) != 0) return "setrlimit failed";
    std::string result;
    try {
      ptree tree;
      ParseXmlManifest(stream, tree);
    } catch (const ManifestParseException& e) {
      result = e.what();
    }
    std::printf("[ memory   ] %s of %.1f MiB: peak resident memory grew by %.1f MiB\n", label,
                static_cast<double>(text.size()) / (1 << 20),
                static_cast<double>(PeakResident() - before) / (1 << 20));
    std::fflush(stdout);
    return result;
  });
}

std::string Sized(const std::string& head, const std::string& piece, const std::string& tail,
                  std::uint64_t size) {
  std::string text = head;
  text.reserve(size);
  while (text.size() + piece.size() + tail.size() <= size) text += piece;
  return text + tail;
}

// The largest documents the reader takes, flat and dense, stay under 8 times their size; the
// flat document of tiny elements is refused on the way, not by running out of memory.
TEST(XmlReaderMemoryTest, DocumentsUpToTheCapReadWithinEightTimesTheirSize) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "sanitizers reserve address space beyond any limit";
#endif
  for (const std::uint64_t size : {std::uint64_t{8} << 20, kMaxXmlDocumentSize}) {
    SCOPED_TRACE(size);
    const std::string flat = Sized("<r>", "<a/>", "</r>", size);
    EXPECT_NE(ReadUnderTheLimit(flat, "flat <a/>").find("document too large for its size"),
              std::string::npos);
    // The densest elements the budget allows: 55 bytes of text for about 375 bytes of tree.
    const std::string dense = Sized("<r>", "<a>" + std::string(48, 'x') + "</a>", "</r>", size);
    EXPECT_EQ(ReadUnderTheLimit(dense, "dense elements"), "");
    // One text as long as the document (the checksums of a huge file).
    const std::string text = Sized("<r>", std::string(4096, '0'), "</r>", size);
    EXPECT_EQ(ReadUnderTheLimit(text, "one text"), "");
  }
  EXPECT_NE(ReadUnderTheLimit(std::string(kMaxXmlDocumentSize + 1, ' '), "spaces")
                .find("document too large: more than"),
            std::string::npos);
}

}  // namespace
}  // namespace halv
