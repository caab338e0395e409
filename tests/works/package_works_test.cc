#include "works/package_works.h"

#include <algorithm>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <boost/property_tree/ptree.hpp>

#include "test_http_server.h"
#include "test_transfer_work_interface.h"
#include "transfer/transfer_status_data.h"
#include "work/standard_workflow.h"
#include "works/transfer_workflow_factory.h"

namespace halv {
namespace {

TEST(PackageStatusDataTest, DescribesAMissingManifestAsNull) {
  boost::property_tree::ptree package;
  PackageStatusData(nullptr).Describe(package);
  EXPECT_EQ(package.get<std::string>("package"), "null");
  boost::property_tree::ptree nodes;
  NodeListStatusData(nullptr).Describe(nodes);
  EXPECT_EQ(nodes.get<std::string>("nodes"), "null");
}

class PackageWorksTest : public testing::Test {
 protected:
  void SetUp() override { server_.Start(); }
  void TearDown() override { server_.Stop(); }

  std::shared_ptr<test::TestTransferWorkInterface> Transfer(test::TransferServices& services) {
    TransferParams params;
    params.transferId = NewTransferId();
    params.partnerId = "R";
    params.packageId = "abc";
    return std::make_shared<test::TestTransferWorkInterface>(params, services.behavior,
                                                             services.sessions.Create());
  }

  test::TestHttpServer server_;
};

TEST_F(PackageWorksTest, FactoryMakesIndependentWorkflowsThatAreNotStarted) {
  Settings settings(4);
  settings.workflowConcurrency = 3;
  test::TransferServices services("127.0.0.1:" + std::to_string(server_.port()), settings, 2);
  auto transfer = Transfer(services);
  StandardTransferWorkflowFactory factory;
  auto first = factory.CreateWorkflow(transfer);
  auto second = factory.CreateWorkflow(transfer);
  ASSERT_TRUE(first && second);
  EXPECT_NE(first, second);
  EXPECT_FALSE(first->IsStarted());
  EXPECT_FALSE(second->IsStarted());
  EXPECT_TRUE(server_.Requests().empty());
}

TEST_F(PackageWorksTest, AMissingPackageManifestIsAManifestErrorAtOnce) {
  server_.AddContent("/nodes/R.xml",
                     "<ArrayOfNodeInfo><NodeInfo><NodeId>a</NodeId><Host>127.0.0.1:1</Host>"
                     "</NodeInfo></ArrayOfNodeInfo>");
  test::TransferServices services("127.0.0.1:" + std::to_string(server_.port()), Settings(4), 4);
  auto transfer = Transfer(services);
  auto workflow = StandardTransferWorkflowFactory().CreateWorkflow(transfer);
  ASSERT_TRUE(transfer->RunToEnd(workflow));
  const auto completions = transfer->Completions();
  ASSERT_EQ(completions.size(), 1u);
  EXPECT_EQ(completions[0].status.result, WorkResult::Error);
  auto data = std::dynamic_pointer_cast<TransferStatusData>(completions[0].status.data);
  ASSERT_TRUE(data);
  EXPECT_EQ(data->ToTransferError(), TransferError::ManifestError);
  EXPECT_EQ(server_.RequestsFor("/manifests/abc/current.xml").size(), 1u);
  workflow->Abort(WorkStatus(WorkResult::Stopped));
}

TEST_F(PackageWorksTest, AnUnreachableManifestHostIsRetriedThenHeldAsAConnectionError) {
  // The manifest host fails every request: four retries, then the workflow holds.
  test::HttpFault stall;
  stall.status = 503;
  server_.SetFault("/nodes/R.xml", stall);
  server_.SetFault("/manifests/abc/current.xml", stall);
  test::TransferServices services("127.0.0.1:" + std::to_string(server_.port()), Settings(4), 4);
  auto transfer = Transfer(services);
  auto workflow = StandardTransferWorkflowFactory().CreateWorkflow(transfer);
  ASSERT_TRUE(transfer->RunToEnd(workflow));
  const auto holds = transfer->RetryableErrors();
  ASSERT_GE(holds.size(), 1u);
  auto data = std::dynamic_pointer_cast<TransferStatusData>(holds[0].status.data);
  ASSERT_TRUE(data);
  EXPECT_EQ(data->ToTransferError(), TransferError::ConnectionError);
  EXPECT_TRUE(transfer->Completions().empty());
  // The work that held made its first attempt and the four retries of the default limit (the
  // other one is stopped by the hold, possibly earlier).
  EXPECT_EQ(std::max(server_.RequestsFor("/nodes/R.xml").size(),
                     server_.RequestsFor("/manifests/abc/current.xml").size()),
            5u);
  EXPECT_LE(server_.RequestsFor("/nodes/R.xml").size(), 5u);
  EXPECT_LE(server_.RequestsFor("/manifests/abc/current.xml").size(), 5u);
  workflow->Abort(WorkStatus(WorkResult::Stopped));
}

}  // namespace
}  // namespace halv
