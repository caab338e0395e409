#include "manifest/node_list_manifest_factory.h"
#include "manifest/package_manifest_factory.h"

#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/property_tree/ptree.hpp>

#include "http/http_proxy.h"
#include "http/http_request_factory.h"
#include "http/http_session.h"
#include "manifest/manifest_exception.h"
#include "test_http_server.h"

namespace halv {
namespace {

class DirectProxyFactory : public HttpProxyFactory {
 public:
  std::shared_ptr<HttpProxy> Create() override { return std::make_shared<EmptyHttpProxy>(); }
};

std::string PackageXml(const std::string& id, const std::string& version) {
  return "<?xml version='1.0' encoding='utf-8'?>\n<package id='" + id + "' versionId='" + version +
         "'><name>Demo</name><partnerId>R</partnerId><run>app</run><files>"
         "<file><path>app</path><chunksize>4</chunksize><size>5</size>"
         "<checksums>0000000100000002</checksums></file></files></package>";
}

const char kNodesXml[] =
    "<ArrayOfNodeInfo><NodeInfo><NodeId>n1</NodeId><Host>127.0.0.1:1</Host><Weight>0</Weight>"
    "</NodeInfo><NodeInfo NodeId='n2' Host='127.0.0.1:2' Path='p'/></ArrayOfNodeInfo>";

TEST(ManifestFactoryUrlTest, BuildsTheManifestHostLayout) {
  DirectProxyFactory proxies;
  CurlHttpRequestFactory requests(proxies);
  const struct {
    std::string host;
    std::string locator;
    std::string package;
    std::string nodes;
  } cases[] = {
      {"h:8080", "abc", "http://h:8080/manifests/abc/current.xml", "http://h:8080/nodes/abc.xml"},
      {"h:8080", "abc/7", "http://h:8080/manifests/abc/7.xml", "http://h:8080/nodes/abc/7.xml"},
      {"m.example:80", "R", "http://m.example/manifests/R/current.xml",
       "http://m.example/nodes/R.xml"},
      {"m.example", "my app/1 0", "http://m.example/manifests/my%20app/1%200.xml",
       "http://m.example/nodes/my%20app/1%200.xml"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host + " " + c.locator);
    EXPECT_EQ(XmlHttpPackageManifestFactory(c.host, requests, 1, 1).GetUrl(c.locator), c.package);
    EXPECT_EQ(XmlHttpNodeListManifestFactory(c.host, requests, 1, 1).GetUrl(c.locator), c.nodes);
  }
}

TEST(ManifestFactoryUrlTest, MalformedHostsAreLocatorFailures) {
  DirectProxyFactory proxies;
  CurlHttpRequestFactory requests(proxies);
  for (const std::string host : {"h:port", "h:99999", "h:-1"}) {
    SCOPED_TRACE(host);
    EXPECT_THROW(XmlHttpPackageManifestFactory(host, requests, 1, 1).GetUrl("abc"),
                 ManifestLocatorException);
    EXPECT_THROW(XmlHttpNodeListManifestFactory(host, requests, 1, 1).Create("R"),
                 ManifestLocatorException);
  }
}

TEST(ManifestFactoryMatchesTest, ComparesIdAndOptionalVersion) {
  DirectProxyFactory proxies;
  CurlHttpRequestFactory requests(proxies);
  XmlHttpPackageManifestFactory factory("h", requests, 1, 1);
  StandardPackageManifest manifest;
  {
    boost::property_tree::ptree tree;
    tree.put("package.id", "abc");
    tree.put("package.name", "n");
    tree.put("package.partnerId", "R");
    tree.put("package.versionId", "7");
    tree.put_child("package.files", {});
    manifest.Read(tree);
  }
  const struct {
    std::string locator;
    bool matches;
  } cases[] = {
      {"abc", true},     {"abc/7", true}, {"abc/", true},    {"abc/8", false}, {"abd", false},
      {"abc/7/", false}, {"ABC", false},  {"abc/7 ", false}, {"/7", false},    {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.locator);
    EXPECT_EQ(factory.Matches(manifest, c.locator), c.matches);
  }
}

class ManifestFactoryTest : public testing::Test {
 protected:
  void SetUp() override {
    server_.Start();
    host_ = "127.0.0.1:" + std::to_string(server_.port());
    server_.AddContent("/manifests/abc/current.xml", PackageXml("abc", "7"));
    server_.AddContent("/manifests/abc/7.xml", PackageXml("abc", "7"));
    server_.AddContent("/manifests/abc/8.xml", PackageXml("abc", "7"));
    server_.AddContent("/manifests/other/current.xml", PackageXml("abc", "7"));
    server_.AddContent("/manifests/text/current.xml", "this is not XML");
    server_.AddContent("/manifests/root/current.xml", "<manifest id='root'/>");
    server_.AddContent("/nodes/R.xml", kNodesXml);
  }

  test::TestHttpServer server_;
  std::string host_;
  DirectProxyFactory proxies_;
  CurlHttpRequestFactory requests_{proxies_};
};

TEST_F(ManifestFactoryTest, FetchesPackagesByCurrentAndGivenVersion) {
  XmlHttpPackageManifestFactory factory(host_, requests_, 5, 10);
  for (const std::string locator : {"abc", "abc/7"}) {
    SCOPED_TRACE(locator);
    const auto manifest = factory.Create(locator);
    ASSERT_TRUE(manifest);
    EXPECT_EQ(manifest->GetId(), "abc");
    EXPECT_EQ(manifest->GetVersionId(), "7");
    ASSERT_TRUE(manifest->GetRunFile());
    EXPECT_EQ(manifest->GetRunFile()->GetChecksums().size(), 2u);
  }
  const auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].target, "/manifests/abc/current.xml");
  EXPECT_EQ(requests[1].target, "/manifests/abc/7.xml");
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].range, "");
}

TEST_F(ManifestFactoryTest, ReportsEveryFailureByItsKind) {
  XmlHttpPackageManifestFactory factory(host_, requests_, 5, 10);
  test::HttpFault unavailable;
  unavailable.status = 503;
  server_.SetFault("/manifests/busy/current.xml", unavailable);
  test::HttpFault stall;
  stall.stallBeforeHeaders = true;
  server_.SetFault("/manifests/slow/current.xml", stall);
  XmlHttpPackageManifestFactory impatient(host_, requests_, 5, 1);

  EXPECT_THROW(factory.Create("abc/8"), ManifestLocatorException);  // version mismatch
  EXPECT_THROW(factory.Create("other"), ManifestLocatorException);  // id mismatch
  EXPECT_THROW(factory.Create("missing"), ManifestLocatorException);
  EXPECT_THROW(factory.Create("busy"), ManifestStreamException);
  EXPECT_THROW(impatient.Create("slow"), ManifestStreamException);
  EXPECT_THROW(factory.Create("text"), ManifestParseException);
  EXPECT_THROW(factory.Create("root"), ManifestParseException);
}

TEST_F(ManifestFactoryTest, FetchesAndCleansNodeLists) {
  XmlHttpNodeListManifestFactory factory(host_, requests_, 5, 10);
  const auto list = factory.Create("R");
  ASSERT_EQ(list->GetNodes().size(), 1u);
  const auto& node = *list->GetNodes()[0];
  EXPECT_EQ(node.GetNodeId(), "n2");
  EXPECT_EQ(node.GetHost(), "127.0.0.1:2");
  EXPECT_EQ(node.GetPath(), "/p/");
  EXPECT_THROW(factory.Create("nobody"), ManifestLocatorException);
}

TEST_F(ManifestFactoryTest, RequestsOfOneSessionShareAConnection) {
  XmlHttpPackageManifestFactory packages(host_, requests_, 5, 10);
  XmlHttpNodeListManifestFactory nodes(host_, requests_, 5, 10);
  const auto session = RoundRobinHttpSessionFactory().Create();
  EXPECT_EQ(packages.Create("abc", session)->GetId(), "abc");
  EXPECT_EQ(nodes.Create("R", session)->GetNodes().size(), 1u);
  EXPECT_EQ(packages.Create("abc/7", session)->GetVersionId(), "7");
  EXPECT_EQ(server_.Requests().size(), 3u);
  EXPECT_EQ(server_.ConnectionCount(), 1);
}

TEST_F(ManifestFactoryTest, OneFactoryServesManyThreadsAtOnce) {
  XmlHttpPackageManifestFactory packages(host_, requests_, 5, 10);
  XmlHttpNodeListManifestFactory nodes(host_, requests_, 5, 10);
  const auto session = RoundRobinHttpSessionFactory().Create();
  constexpr int kThreads = 4;
  constexpr int kRounds = 5;
  std::promise<void> go;
  const std::shared_future<void> start = go.get_future().share();
  std::vector<std::future<int>> results;
  for (int t = 0; t < kThreads; ++t) {
    results.push_back(std::async(std::launch::async, [&, t] {
      start.wait();
      int good = 0;
      for (int i = 0; i < kRounds; ++i) {
        // Half the threads share one session's pool, the others make standalone requests.
        const auto shared = t % 2 == 0 ? session : nullptr;
        good += packages.Create(i % 2 == 0 ? "abc" : "abc/7", shared)->GetId() == "abc";
        good += nodes.Create("R", shared)->GetNodes().size() == 1;
        try {
          packages.Create("abc/8", shared);
        } catch (const ManifestLocatorException&) {
          ++good;
        }
      }
      return good;
    }));
  }
  go.set_value();
  for (auto& result : results) EXPECT_EQ(result.get(), 3 * kRounds);
  EXPECT_EQ(server_.Requests().size(), static_cast<std::size_t>(3 * kThreads * kRounds));
}

}  // namespace
}  // namespace halv
