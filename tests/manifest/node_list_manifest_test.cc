#include "manifest/node_list_manifest.h"

#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/property_tree/ptree.hpp>

#include "manifest/manifest_exception.h"
#include "manifest/node_manifest.h"
#include "manifest/node_statistics.h"
#include "manifest/xml_manifest_parser.h"

namespace halv {
namespace {

using boost::property_tree::ptree;

ptree Tree(const std::string& xml) {
  std::istringstream stream(xml);
  ptree tree;
  ParseXmlManifest(stream, tree);
  return tree;
}

std::string Node(const std::string& id, const std::string& extra) {
  return "<NodeInfo><NodeId>" + id + "</NodeId><Host>" + id + ".example:8080</Host>" + extra +
         "</NodeInfo>";
}

std::string Weighted(const std::string& id, const std::string& weight) {
  return Node(id, "<Weight>" + weight + "</Weight>");
}

std::string List(const std::string& nodes) {
  return "<ArrayOfNodeInfo xmlns:xsi='http://www.w3.org/2001/XMLSchema-instance'>" + nodes +
         "</ArrayOfNodeInfo>";
}

StandardNodeListManifest ReadList(const std::string& xml) {
  StandardNodeListManifest list;
  list.Read(Tree(xml));
  return list;
}

std::vector<std::string> Ids(const NodeListManifest& list) {
  std::vector<std::string> ids;
  for (const auto& node : list.GetNodes()) ids.push_back(node->GetNodeId());
  return ids;
}

std::vector<std::int32_t> Weights(const NodeListManifest& list) {
  std::vector<std::int32_t> weights;
  for (const auto& node : list.GetNodes()) weights.push_back(node->GetWeight());
  return weights;
}

TEST(NodeListManifestTest, ReadsNodesInDocumentOrderSkippingOtherChildren) {
  const auto list =
      ReadList(List("<!-- mirrors -->" + Node("a", "") + "<Other><NodeId>x</NodeId></Other>" +
                    Node("b", "<Path>/p/</Path><Weight>5</Weight><Extra>1</Extra>")));
  EXPECT_EQ(Ids(list), (std::vector<std::string>{"a", "b"}));
  const auto& b = *list.GetNodes()[1];
  EXPECT_EQ(b.GetHost(), "b.example:8080");
  EXPECT_EQ(b.GetPath(), "/p/");
  EXPECT_EQ(b.GetWeight(), 5);
  EXPECT_TRUE(b.GetStatistics());
  EXPECT_NE(list.GetNodes()[0]->GetStatistics(), b.GetStatistics());
}

TEST(NodeListManifestTest, CleansWeights) {
  const struct {
    const char* what;
    std::string nodes;
    std::vector<std::string> ids;
    std::vector<std::int32_t> weights;
    std::uint32_t total;
  } cases[] = {
      {"zero-weight nodes are dropped",
       Weighted("a", "0") + Weighted("b", "3") + Weighted("c", "0"),
       {"b"},
       {3},
       3},
      {"all zero become one", Weighted("a", "0") + Weighted("b", "0"), {"a", "b"}, {1, 1}, 2},
      {"absent weight is one", Node("a", "") + Node("b", ""), {"a", "b"}, {1, 1}, 2},
      {"weights summing to zero become one",
       Weighted("a", "2") + Weighted("b", "-2"),
       {"a", "b"},
       {1, 1},
       2},
      {"a negative weight stays",
       Weighted("a", "5") + Weighted("b", "-2") + Weighted("c", "0"),
       {"a", "b"},
       {5, -2},
       3},
      {"letters give one", Weighted("a", "heavy") + Weighted("b", "4"), {"a", "b"}, {1, 4}, 5},
      {"a plus sign gives one", Weighted("a", "+3") + Weighted("b", "4"), {"a", "b"}, {1, 4}, 5},
      {"out of range gives one",
       Weighted("a", "2147483648") + Weighted("b", "2"),
       {"a", "b"},
       {1, 2},
       3},
      {"white space around a weight", Weighted("a", " 7\n"), {"a"}, {7}, 7},
      {"extremes",
       Weighted("a", "2147483647") + Weighted("b", "-2147483648"),
       {"a", "b"},
       {INT32_MAX, INT32_MIN},
       UINT32_MAX},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto list = ReadList(List(c.nodes));
    EXPECT_EQ(Ids(list), c.ids);
    EXPECT_EQ(Weights(list), c.weights);
    EXPECT_EQ(list.GetTotalWeight(), c.total);
  }
}

TEST(NodeListManifestTest, TotalWeightWrapsAsUnsigned32) {
  const auto list = ReadList(
      List(Weighted("a", "2147483647") + Weighted("b", "2147483647") + Weighted("c", "3")));
  EXPECT_EQ(list.GetTotalWeight(), 1u);
}

TEST(NodeListManifestTest, NormalisesPaths) {
  const struct {
    std::string extra;
    std::string path;
  } cases[] = {
      {"", "/packages/"},
      {"<Path>packages</Path>", "/packages/"},
      {"<Path>/packages</Path>", "/packages/"},
      {"<Path>packages/</Path>", "/packages/"},
      {"<Path>/a/b/</Path>", "/a/b/"},
      {"<Path></Path>", "/"},
      {"<Path>/</Path>", "/"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.extra);
    EXPECT_EQ(ReadList(List(Node("a", c.extra))).GetNodes()[0]->GetPath(), c.path);
  }
}

TEST(NodeListManifestTest, AttributesReadLikeChildElements) {
  const auto list = ReadList(List("<NodeInfo NodeId='n1' Weight='4'><Host>h:81</Host></NodeInfo>"));
  const auto& node = *list.GetNodes()[0];
  EXPECT_EQ(node.GetNodeId(), "n1");
  EXPECT_EQ(node.GetHost(), "h:81");
  EXPECT_EQ(node.GetWeight(), 4);
}

TEST(NodeListManifestTest, RejectsDefectiveDocuments) {
  const struct {
    const char* what;
    std::string xml;
  } cases[] = {
      {"no root", "<Nodes>" + Node("a", "") + "</Nodes>"},
      {"no NodeInfo", List("")},
      {"only other children", List("<Node><NodeId>a</NodeId><Host>h</Host></Node><!-- c -->")},
      {"missing NodeId", List("<NodeInfo><Host>h</Host></NodeInfo>")},
      {"missing Host", List("<NodeInfo><NodeId>a</NodeId></NodeInfo>")},
      {"empty NodeId", List("<NodeInfo><NodeId/><Host>h</Host></NodeInfo>")},
      {"empty Host", List("<NodeInfo><NodeId>b</NodeId><Host></Host></NodeInfo>")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_THROW(ReadList(c.xml), ManifestParseException);
  }
}

TEST(NodeListManifestTest, ADefectiveEntryIsLeftOutAndNamedAndTheOthersKept) {
  const struct {
    const char* what;
    std::string entry;
    std::string named;
  } cases[] = {
      {"no NodeId", "<NodeInfo><Host>h:81</Host></NodeInfo>", "h:81 (no NodeId)"},
      {"empty NodeId", "<NodeInfo><NodeId/><Host>h:81</Host></NodeInfo>", "h:81 (no NodeId)"},
      {"no Host", "<NodeInfo><NodeId>b</NodeId></NodeInfo>", "node b (no Host)"},
      {"empty Host", "<NodeInfo><NodeId>b</NodeId><Host></Host></NodeInfo>", "node b (no Host)"},
      {"neither", "<NodeInfo><Weight>2</Weight></NodeInfo>", "(no Host, no NodeId)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto list = ReadList(List(Node("good", "") + c.entry));
    EXPECT_EQ(Ids(list), std::vector<std::string>{"good"});
    ASSERT_EQ(list.GetLeftOutHosts().size(), 1u);
    EXPECT_NE(list.GetLeftOutHosts()[0].find(c.named), std::string::npos)
        << list.GetLeftOutHosts()[0];
    // Alone, it leaves no node: the refusal names it.
    try {
      ReadList(List(c.entry));
      ADD_FAILURE() << "read";
    } catch (const ManifestParseException& error) {
      EXPECT_NE(std::string(error.what()).find(c.named), std::string::npos) << error.what();
    }
  }
}

std::string WithHost(const std::string& id, const std::string& host) {
  return "<NodeInfo><NodeId>" + id + "</NodeId><Host>" + host + "</Host></NodeInfo>";
}

TEST(NodeListManifestTest, HostsThatFormNoUrlAreLeftOutAndTheOthersKept) {
  const struct {
    const char* host;
    bool usable;
  } cases[] = {
      {"127.0.0.1:99999", false},
      {":0", false},
      {"[::1", false},
      {"h:1:2", false},
      {"h:0", false},
      {"h:", false},
      {"h:+80", false},
      {"h:080", false},
      {"a b", false},
      {"h/x", false},
      {"u@h", false},
      {"http://", false},
      {"[]:80", false},
      {"[::1]x", false},
      {"h :1", false},
      {"127.0.0.1:8080", true},
      {"h", true},
      {"[::1]:65535", true},
      {"mirror-1.example", true},
      {"HTTPS://h.example:443", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host);
    EXPECT_EQ(IsUsableNodeHost(c.host), c.usable);
    const auto list = ReadList(
        List(WithHost("bad", c.host) + Node("good", "") + Node("zero", "<Weight>0</Weight>")));
    const std::vector<std::string> ids =
        c.usable ? std::vector<std::string>{"bad", "good"} : std::vector<std::string>{"good"};
    EXPECT_EQ(Ids(list), ids);
    EXPECT_EQ(list.GetLeftOutHosts().size(), c.usable ? 0u : 1u);
  }
}

TEST(NodeListManifestTest, AListOfOnlyUnusableHostsFailsNamingThem) {
  std::string nodes =
      WithHost("a", "127.0.0.1:99999") + WithHost("b", "h:1:2") + WithHost("c", "bad\xc3\xa9host");
  for (int i = 0; i < 6; ++i) nodes += WithHost("n" + std::to_string(i), ":0");
  try {
    ReadList(List(nodes));
    FAIL() << "read a list without a usable node";
  } catch (const ManifestParseException& e) {
    EXPECT_EQ(std::string(e.what()),
              "no node of the list has a usable host: \"127.0.0.1:99999\", \"h:1:2\", "
              "\"bad??host\", \":0\", \":0\" and 4 more");
  }
}

TEST(NodeManifestTest, WriteUsesTheHostAndAddsTheStatistics) {
  const auto list = ReadList(List(Node("id1", "<Path>files</Path><Weight>3</Weight>")));
  ptree tree;
  tree.put("Node", "old");
  list.GetNodes()[0]->Write(tree);
  EXPECT_EQ(tree.get<std::string>("Node"), "id1.example:8080");
  EXPECT_EQ(tree.count("Node"), 1u);
  EXPECT_EQ(tree.get<std::string>("Path"), "/files/");
  EXPECT_EQ(tree.get<std::string>("Weight"), "3");
  EXPECT_EQ(tree.get<std::string>("Requests"), "0");
  EXPECT_EQ(tree.get<std::string>("Bytes"), "0");
}

TEST(NodeManifestTest, WithStatisticsCopiesTheNodeAroundNewStatistics) {
  const auto list =
      ReadList(List(Node("id1", "<Path>/p/</Path><Weight>-3</Weight>") + Weighted("id2", "4")));
  const auto& original = list.GetNodes()[0];
  auto statistics = std::make_shared<NodeStatistics>();
  statistics->AddSample(500, 10, true);
  const auto copy = original->WithStatistics(statistics);
  ASSERT_NE(copy, original);
  EXPECT_EQ(copy->GetNodeId(), "id1");
  EXPECT_EQ(copy->GetHost(), "id1.example:8080");
  EXPECT_EQ(copy->GetPath(), "/p/");
  EXPECT_EQ(copy->GetWeight(), -3);
  EXPECT_EQ(copy->GetStatistics(), statistics);
  EXPECT_EQ(copy->shared_from_this(), copy);

  ptree tree;
  copy->Write(tree);
  EXPECT_EQ(tree.get<std::string>("Requests"), "1");
  EXPECT_EQ(tree.get<std::string>("Errors"), "1");
  EXPECT_EQ(tree.get<std::string>("Bytes"), "500");
}

TEST(NodeManifestTest, ResetWeightSetsOne) {
  ptree tree;
  tree.put("NodeId", "n");
  tree.put("Host", "h");
  tree.put("Weight", "9");
  StandardNodeManifest node(tree);
  EXPECT_EQ(node.GetWeight(), 9);
  node.ResetWeight();
  EXPECT_EQ(node.GetWeight(), 1);
}

}  // namespace
}  // namespace halv
