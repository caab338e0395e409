#include "works/optimized_request_chunk_work.h"

#include <memory>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>
#include <boost/property_tree/ptree.hpp>

#include "manifest/node_manifest.h"
#include "optimizer/optimized_request_params.h"

namespace halv {
namespace {

std::shared_ptr<NodeManifest> Node(const std::string& host, const std::string& path) {
  boost::property_tree::ptree tree;
  tree.put("NodeId", "n");
  tree.put("Host", host);
  tree.put("Path", path);
  return std::make_shared<StandardNodeManifest>(tree);
}

OptimizedRequestParams Params(const std::string& filePath, std::uint64_t lower,
                              std::uint64_t upper) {
  TransferParams transfer;
  transfer.partnerId = "3";
  transfer.packageId = "12";
  transfer.versionId = "7";
  auto file = std::make_shared<TransferSharedFileData>(filePath, 1 << 20);
  auto chunk = std::make_shared<TransferSharedMapData>(file, lower, upper, 0, nullptr);
  return OptimizedRequestParams(nullptr, transfer, chunk);
}

TEST(OptimizedRequestParamsTest, ToUrlEncodesEverySegmentOfTheFilePath) {
  struct Case {
    const char* path;
    const char* url;
  };
  const Case cases[] = {
      {"bin/app.exe", "http://node.example:8080/packages/3/12/7/bin/app.exe"},
      {"/bin/app.exe", "http://node.example:8080/packages/3/12/7/bin/app.exe"},
      {"///bin/app.exe", "http://node.example:8080/packages/3/12/7/bin/app.exe"},
      {"docs/read me.txt", "http://node.example:8080/packages/3/12/7/docs/read%20me.txt"},
      {"a#b/c?d", "http://node.example:8080/packages/3/12/7/a%23b/c%3Fd"},
      {"100%.txt", "http://node.example:8080/packages/3/12/7/100%25.txt"},
      {"c:colon", "http://node.example:8080/packages/3/12/7/c:colon"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    OptimizedRequestParams params = Params(c.path, 0, 9);
    params.SelectedNode = Node("node.example:8080", "/packages/");
    EXPECT_EQ(params.ToUrl(), c.url);
  }
}

TEST(OptimizedRequestParamsTest, ToUrlNeedsANodeAndAChunk) {
  OptimizedRequestParams params = Params("a", 0, 9);
  try {
    params.ToUrl();
    FAIL() << "no exception";
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(),
                 "OptimizedRequestParams::ToUrl invoked with no SelectedNode or no ChunkData");
  }
}

TEST(OptimizedRequestParamsTest, RequestAsksForTheChunkWithTheAttemptsLimits) {
  OptimizedRequestParams params = Params("data.bin", 65536, 131071);
  params.SelectedNode = Node("127.0.0.1:81", "/mirror/");
  params.ConnectTimeout = 5;
  params.Timeout = 30;
  params.LowSpeedLimit = 7168;
  params.LowSpeedTime = 10;
  HttpBoundedFileDataWriter writer(nullptr);
  const HttpRequestParams request = params.ToRequestParams(&writer);
  EXPECT_EQ(request.url, "http://127.0.0.1:81/mirror/3/12/7/data.bin");
  EXPECT_EQ(request.writeCallback, &writer);
  EXPECT_EQ(request.method, HttpMethod::Get);
  EXPECT_EQ(request.acceptEncoding, "");
  EXPECT_EQ(request.rangeStart, 65536u);
  EXPECT_EQ(request.rangeEnd, 131071u);
  EXPECT_EQ(request.connectTimeout, 5);
  EXPECT_EQ(request.timeout, 30);
  EXPECT_EQ(request.lowSpeedLimit, 7168);
  EXPECT_EQ(request.lowSpeedTime, 10);
}

}  // namespace
}  // namespace halv
