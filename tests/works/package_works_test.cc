#include "works/package_works.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/property_tree/ptree.hpp>

#include "manifest/file_manifest.h"
#include "manifest/package_manifest.h"
#include "temp_dir.h"
#include "test_http_server.h"
#include "test_transfer_work_interface.h"
#include "transfer/transfer_error_data.h"
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

// A package given as it is, without a document: what the reader would hand the works.
class GivenPackage : public PackageManifest {
 public:
  void Read(const boost::property_tree::ptree&) override {}
  const std::string& GetId() const override { return id_; }
  const std::string& GetName() const override { return id_; }
  const std::string& GetPartnerId() const override { return id_; }
  const std::string& GetVersionId() const override { return id_; }
  const FileList& GetFiles() const override { return files; }
  const FileList& GetRunFiles() const override { return none_; }
  const FileList& GetOtherFiles() const override { return files; }
  const std::string& GetRun() const override { return empty_; }
  std::shared_ptr<const FileManifest> GetRunFile() const override { return nullptr; }
  const std::vector<PackageLink>& GetLinks() const override { return links; }
  const std::vector<PackageHardLink>& GetHardLinks() const override { return hardLinks; }
  const std::vector<std::string>& GetFolders() const override { return folders; }

  FileList files;
  std::vector<PackageLink> links;
  std::vector<PackageHardLink> hardLinks;
  std::vector<std::string> folders;

 private:
  const std::string id_ = "abc";
  const std::string empty_;
  const FileList none_;
};

std::shared_ptr<const FileManifest> FileAt(const std::string& path) {
  boost::property_tree::ptree tree;
  tree.put("path", path);
  tree.put("chunksize", "4");
  tree.put("size", "5");
  tree.put("checksums", "0000000000000000");
  auto file = std::make_shared<StandardFileManifest>();
  file->Read(tree);
  return file;
}

struct stat LinkStatus(const std::string& path) {
  struct stat status = {};
  EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
  return status;
}

// The entries that are not downloaded: made once the files are in place, or refused by name.
class PlaceEntriesWorkTest : public PackageWorksTest {
 protected:
  void SetUp() override {
    PackageWorksTest::SetUp();
    test::WriteFile(dest_.Child("bin/tool"), "bytes");
    package_->files = {FileAt("bin/tool")};
    package_->hardLinks = {{"bin/alias", package_->files[0]}, {"other/alias", package_->files[0]}};
    package_->links = {{"bin/python3", "/usr/bin/python3"}, {"bin/python", "python3"}};
    package_->folders = {"empty", "deep/er/empty"};
  }

  // The outcome of the work on the package, run on this thread.
  WorkStatus Place() {
    test::TransferServices services("127.0.0.1:" + std::to_string(server_.port()), Settings(4), 1);
    TransferParams params;
    params.transferId = NewTransferId();
    params.partnerId = "R";
    params.packageId = "abc";
    params.destPath = dest_.path();
    auto transfer = std::make_shared<test::TestTransferWorkInterface>(params, services.behavior,
                                                                      services.sessions.Create());
    transfer->SetPackage(package_);
    return std::make_shared<PlaceEntriesWork>(transfer)->ExecuteTask();
  }

  test::TempDir dest_;
  const std::shared_ptr<GivenPackage> package_ = std::make_shared<GivenPackage>();
};

TEST_F(PlaceEntriesWorkTest, HardLinksLinksAndEmptyFoldersAreMadeAndKeptOnARerun) {
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    ASSERT_EQ(Place().result, WorkResult::Success);
    const struct stat tool = LinkStatus(dest_.Child("bin/tool"));
    for (const char* alias : {"bin/alias", "other/alias"}) {
      EXPECT_EQ(LinkStatus(dest_.Child(alias)).st_ino, tool.st_ino) << alias;
    }
    EXPECT_EQ(tool.st_nlink, 3u);
    EXPECT_EQ(std::filesystem::read_symlink(dest_.Child("bin/python3")), "/usr/bin/python3");
    EXPECT_EQ(std::filesystem::read_symlink(dest_.Child("bin/python")), "python3");
    for (const char* folder : {"empty", "deep/er/empty"}) {
      EXPECT_TRUE(
          std::filesystem::is_directory(std::filesystem::symlink_status(dest_.Child(folder))))
          << folder;
    }
  }
  // An earlier copy at a hard link's path becomes the file's second name again.
  std::filesystem::remove(dest_.Child("bin/alias"));
  test::WriteFile(dest_.Child("bin/alias"), "bytes");
  ASSERT_EQ(Place().result, WorkResult::Success);
  EXPECT_EQ(LinkStatus(dest_.Child("bin/alias")).st_ino,
            LinkStatus(dest_.Child("bin/tool")).st_ino);
}

TEST_F(PlaceEntriesWorkTest, AnEntryOfTheUsersInTheWayFailsTheWorkByNameAndStays) {
  const struct {
    const char* path;
    bool folder;  // the user's entry there is a folder, else a file
  } cases[] = {{"other/alias", true}, {"bin/python3", false}, {"deep/er/empty", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    std::filesystem::remove_all(dest_.Child("other"));
    std::filesystem::remove_all(dest_.Child("deep"));
    std::filesystem::remove(dest_.Child("bin/python3"));
    if (c.folder) {
      test::WriteFile(dest_.Child(c.path) + "/mine", "mine");
    } else {
      test::WriteFile(dest_.Child(c.path), "mine");
    }
    const WorkStatus status = Place();
    EXPECT_EQ(status.result, WorkResult::Error);
    const auto* data = dynamic_cast<const TransferStatusData*>(status.data.get());
    ASSERT_TRUE(data);
    EXPECT_EQ(data->ToTransferError(), TransferError::FileAccessError);
    EXPECT_NE(data->Message().find(std::string("\"") + c.path + "\""), std::string::npos)
        << data->Message();
    EXPECT_EQ(test::ReadFile(dest_.Child(c.path) + (c.folder ? "/mine" : "")), "mine");
  }
}

TEST_F(PlaceEntriesWorkTest, ALinkThatLeadsOutsideWithAnEarlierVersionsLinkIsRemovedByName) {
  // Version 1 left a/up -> ..; version 2 has no a/up and adds b -> a/up/.., which the document
  // alone cannot tell leads to the destination's parent.
  std::filesystem::create_directories(dest_.Child("a"));
  std::filesystem::create_symlink("..", dest_.Child("a/up"));
  package_->links.push_back({"b", "a/up/.."});
  const WorkStatus status = Place();
  EXPECT_EQ(status.result, WorkResult::Error);
  const auto* data = dynamic_cast<const TransferStatusData*>(status.data.get());
  ASSERT_TRUE(data);
  EXPECT_EQ(data->ToTransferError(), TransferError::FileAccessError);
  EXPECT_NE(data->Message().find("\"b\" would lead outside the destination through \"a/up\""),
            std::string::npos)
      << data->Message();
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dest_.Child("b"))));
  EXPECT_EQ(std::filesystem::read_symlink(dest_.Child("a/up")), "..") << "not ours to remove";

  // Without the old link, the same package places b (dangling) and succeeds.
  std::filesystem::remove(dest_.Child("a/up"));
  EXPECT_EQ(Place().result, WorkResult::Success);
  EXPECT_EQ(std::filesystem::read_symlink(dest_.Child("b")), "a/up/..");
}

}  // namespace
}  // namespace halv
