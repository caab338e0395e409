#include "manifest/manifest_source.h"

#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/property_tree/ptree.hpp>

#include "http/http_proxy.h"
#include "http/http_request_factory.h"
#include "manifest/input_manifest.h"
#include "manifest/manifest_exception.h"
#include "manifest/package_manifest.h"
#include "manifest/xml_manifest_parser.h"
#include "test_http_server.h"

namespace halv {
namespace {

using boost::property_tree::ptree;

class DirectProxyFactory : public HttpProxyFactory {
 public:
  std::shared_ptr<HttpProxy> Create() override { return std::make_shared<EmptyHttpProxy>(); }
};

ptree Parse(const std::string& text) {
  std::istringstream stream(text);
  ptree tree;
  ParseXmlManifest(stream, tree);
  return tree;
}

// Keys of the children of `tree`, in order.
std::vector<std::string> Keys(const ptree& tree) {
  std::vector<std::string> keys;
  for (const auto& child : tree) keys.push_back(child.first);
  return keys;
}

TEST(ParseXmlManifestTest, CopiesAttributesToChildrenDepthFirst) {
  const ptree tree = Parse(
      "<root a='1' b='2'><inner c='3'>text</inner><!-- note --><tail>  spaced </tail></root>");
  const ptree& root = tree.get_child("root");
  EXPECT_EQ(Keys(root),
            (std::vector<std::string>{"<xmlattr>", "inner", "<xmlcomment>", "tail", "a", "b"}));
  EXPECT_EQ(root.get<std::string>("a"), "1");
  EXPECT_EQ(root.get<std::string>("b"), "2");
  EXPECT_EQ(root.get<std::string>("<xmlattr>.a"), "1");
  const ptree& inner = root.get_child("inner");
  EXPECT_EQ(inner.data(), "text");
  EXPECT_EQ(Keys(inner), (std::vector<std::string>{"<xmlattr>", "c"}));
  EXPECT_EQ(root.get<std::string>("tail"), "  spaced ");
  EXPECT_EQ(root.get<std::string>("<xmlcomment>"), " note ");
}

TEST(ParseXmlManifestTest, ConcatenatesTheTextPiecesOfOneElement) {
  EXPECT_EQ(Parse("<a>one<b/>two</a>").get<std::string>("a"), "onetwo");
}

// The reader is lenient (an empty text, or a closing tag of another name, passes); the manifest
// readers then refuse the tree, which the factory tests check.
TEST(ParseXmlManifestTest, RefusesWhatIsNotXml) {
  for (const std::string text : {"not xml", "<a>", "<a x='1></a>", "{\"a\": 1}", "<a><b></a>"}) {
    SCOPED_TRACE(text);
    EXPECT_THROW(Parse(text), ManifestParseException);
  }
}

std::string Nested(int depth, const std::string& open, const std::string& close) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += open;
  for (int i = 0; i < depth; ++i) text += close;
  return text;
}

TEST(ParseXmlManifestTest, RefusesNestingDeeperThanAnyManifestNeeds) {
  // A deep document would otherwise exhaust the stack of the recursive reader.
  EXPECT_THROW(Parse(Nested(200000, "<a>", "</a>")), ManifestParseException);
  EXPECT_THROW(Parse(Nested(300, "<a x='/>'>", "</a>")), ManifestParseException);
  EXPECT_NO_THROW(Parse(Nested(200, "<a x='1'>", "</a>")));
  // Self-closed elements, comments and CDATA sections do not nest.
  std::string flat = "<r>";
  for (int i = 0; i < 1000; ++i) flat += "<e/><!-- <x> --><![CDATA[<y>]]><?pi <z>?>";
  EXPECT_NO_THROW(Parse(flat + "</r>"));
}

// Records the order of the steps of Load and can fail one of them.
class ScriptedSource : public ManifestSource {
 public:
  void Retrieve(const std::string& locator, std::ostream& stream) override {
    steps.push_back("Retrieve " + locator);
    if (failRetrieve) throw ManifestStreamException("stream down");
    stream << "<m>value</m>";
  }
  void Parse(std::istream& stream, ptree& tree) override {
    steps.push_back("Parse");
    std::string text;
    std::getline(stream, text);
    tree.put("text", text);
  }
  std::vector<std::string> steps;
  bool failRetrieve = false;
};

class RecordingManifest : public InputManifest {
 public:
  explicit RecordingManifest(std::vector<std::string>* steps) : steps_(steps) {}
  void Read(const ptree& tree) override {
    steps_->push_back("Read " + tree.get<std::string>("text"));
    throw std::logic_error("from Read");
  }

 private:
  std::vector<std::string>* steps_;
};

TEST(ManifestSourceTest, LoadRetrievesParsesAndReadsLettingExceptionsThrough) {
  ScriptedSource source;
  RecordingManifest manifest(&source.steps);
  EXPECT_THROW(source.Load("abc/7", manifest), std::logic_error);
  EXPECT_EQ(source.steps,
            (std::vector<std::string>{"Retrieve abc/7", "Parse", "Read <m>value</m>"}));

  source.steps.clear();
  source.failRetrieve = true;
  try {
    source.Load("abc", manifest);
    FAIL() << "Load succeeded";
  } catch (const ManifestStreamException& e) {
    EXPECT_STREQ(e.what(), "stream down");
  }
  EXPECT_EQ(source.steps, std::vector<std::string>{"Retrieve abc"});
}

class HttpManifestSourceTest : public testing::Test {
 protected:
  void SetUp() override { server_.Start(); }

  // Retrieves `path` with a fresh source; returns the body.
  std::string Retrieve(const std::string& path, std::uint64_t limit, std::int32_t timeout = 10) {
    XmlHttpManifestSource source(server_.Url(path), requests_, nullptr, 5, timeout, limit);
    std::stringstream stream;
    source.Retrieve("ignored", stream);
    return stream.str();
  }

  test::TestHttpServer server_;
  DirectProxyFactory proxies_;
  CurlHttpRequestFactory requests_{proxies_};
};

TEST_F(HttpManifestSourceTest, RetrievesTheWholeBodyWhateverTheBlockSizes) {
  const std::string body = test::TestHttpServer::GeneratedContent("/m.xml", 0, 300);
  server_.AddContent("/m.xml", body);
  for (std::size_t block : {1, 7, 64}) {
    SCOPED_TRACE(block);
    test::HttpFault drip;
    drip.dripBytes = block;
    drip.dripInterval = std::chrono::milliseconds(1);
    drip.times = 1;
    server_.SetFault("/m.xml", drip);
    EXPECT_EQ(Retrieve("/m.xml", HttpManifestSource::kMaxBodySize), body);
  }
}

TEST_F(HttpManifestSourceTest, StopsABodyPastTheLimit) {
  server_.AddContent("/small.xml", std::string(1000, 'x'));
  EXPECT_EQ(Retrieve("/small.xml", 1000).size(), 1000u);
  try {
    Retrieve("/small.xml", 999);
    FAIL() << "a body over the limit was accepted";
  } catch (const ManifestParseException& e) {
    EXPECT_NE(std::string(e.what()).find("document too large: the body is larger than 999 bytes"),
              std::string::npos)
        << e.what();
  }
}

TEST_F(HttpManifestSourceTest, StopsAnEndlessBodyAtTheDefaultLimit) {
  server_.AddGeneratedContent("/endless.xml", std::uint64_t{1} << 40);
  EXPECT_THROW(Retrieve("/endless.xml", HttpManifestSource::kMaxBodySize), ManifestParseException);
}

TEST_F(HttpManifestSourceTest, MapsRequestFailuresToManifestExceptions) {
  server_.AddContent("/m.xml", "<a/>");
  test::HttpFault notFound;
  notFound.status = 404;
  server_.SetFault("/404.xml", notFound);
  test::HttpFault unavailable;
  unavailable.status = 503;
  server_.SetFault("/503.xml", unavailable);
  test::HttpFault stall;
  stall.stallBeforeHeaders = true;
  server_.SetFault("/stall.xml", stall);

  try {
    Retrieve("/404.xml", 1000);
    FAIL() << "a 404 was accepted";
  } catch (const ManifestLocatorException& e) {
    EXPECT_EQ(std::string(e.what()),
              "no such document at " + server_.Url("/404.xml") + " (libcurl error 22 (HTTP 404))");
  }
  EXPECT_THROW(Retrieve("/unknown.xml", 1000), ManifestLocatorException);
  EXPECT_THROW(Retrieve("/503.xml", 1000), ManifestStreamException);
  try {
    Retrieve("/stall.xml", 1000, 1);
    FAIL() << "a stalled server did not time out";
  } catch (const ManifestStreamException& e) {
    std::string host = server_.Url("/").substr(7);  // "HOST:PORT/" after "http://"
    host.pop_back();
    EXPECT_EQ(std::string(e.what()), "the server " + host + " did not answer in time (libcurl error 28)");
  }
}

TEST_F(HttpManifestSourceTest, ASuccessfulRequestIntoABrokenStreamIsAStreamFailure) {
  // An empty body writes nothing, so only the final state check can notice the stream.
  server_.AddContent("/empty.xml", "");
  XmlHttpManifestSource source(server_.Url("/empty.xml"), requests_, nullptr, 5, 10);
  std::stringstream stream;
  stream.setstate(std::ios::badbit);
  EXPECT_THROW(source.Retrieve("x", stream), ManifestStreamException);
  std::stringstream good;
  EXPECT_NO_THROW(source.Retrieve("x", good));
}

TEST(HttpManifestSourceRefusedTest, UnreachableAndMalformedUrls) {
  DirectProxyFactory proxies;
  CurlHttpRequestFactory requests(proxies);
  std::stringstream stream;
  // A port nobody listens on: the server is started and stopped to learn a free one.
  test::TestHttpServer server;
  server.Start();
  const std::string url = server.Url("/m.xml");
  server.Stop();
  XmlHttpManifestSource refused(url, requests, nullptr, 5, 10);
  EXPECT_THROW(refused.Retrieve("x", stream), ManifestStreamException);
  XmlHttpManifestSource malformed("nope://127.0.0.1/m.xml", requests, nullptr, 5, 10);
  EXPECT_THROW(malformed.Retrieve("x", stream), ManifestLocatorException);
}

}  // namespace
}  // namespace halv
