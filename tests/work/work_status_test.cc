#include "work/work_status.h"

#include <memory>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>
#include <boost/property_tree/ptree.hpp>

#include "test_works.h"
#include "work/no_op_work.h"

namespace halv {
namespace {

using test::Describe;

std::shared_ptr<WorkExceptionData> Capture(const std::function<void()>& thrower) {
  try {
    thrower();
  } catch (...) {
    return std::make_shared<WorkExceptionData>(std::current_exception());
  }
  ADD_FAILURE() << "nothing thrown";
  return nullptr;
}

TEST(WorkStatusTest, DescribesResultRetryAndOnlyPresentData) {
  const auto plain = Describe(WorkStatus(WorkResult::Success));
  EXPECT_EQ(plain.get<std::string>("result"), "0");
  EXPECT_EQ(plain.get<std::string>("retry"), "false");
  EXPECT_FALSE(plain.get_child_optional("data"));

  WorkStatus retrying(WorkResult::Retryable, std::make_shared<WorkErrorData>("node went away"));
  retrying.retry = true;
  const auto tree = Describe(retrying);
  EXPECT_EQ(tree.get<std::string>("result"), "3");
  EXPECT_EQ(tree.get<std::string>("retry"), "true");
  EXPECT_EQ(tree.get<std::string>("data.errorMessage"), "node went away");
}

TEST(WorkStatusTest, CopiesShareTheirData) {
  const WorkStatus original(WorkResult::Failure, std::make_shared<WorkErrorData>("x"));
  const WorkStatus copy = original;  // NOLINT(performance-unnecessary-copy-initialization)
  EXPECT_EQ(copy.data, original.data);
  EXPECT_FALSE(copy.retry);
}

TEST(WorkStatusDataTest, ErrorDataCarriesItsMessage) {
  const WorkErrorData data("disk full");
  EXPECT_EQ(data.ToString(), "disk full");
  EXPECT_EQ(Describe(data).get<std::string>("errorMessage"), "disk full");
}

TEST(WorkStatusDataTest, ExceptionDataNamesStandardExceptions) {
  const auto data = Capture([] { throw std::runtime_error("boom"); });
  const auto tree = Describe(*data);
  EXPECT_EQ(tree.get<std::string>("exception"), "std::runtime_error");
  EXPECT_EQ(tree.get<std::string>("what"), "boom");
  EXPECT_EQ(data->ToString(), "std::runtime_error");
  EXPECT_THROW(data->Rethrow(), std::runtime_error);
}

TEST(WorkStatusDataTest, ExceptionDataOfAnythingElseIsUnknown) {
  const auto data = Capture([] { throw 42; });
  const auto tree = Describe(*data);
  EXPECT_EQ(tree.get<std::string>("exception"), "Unknown exception type");
  EXPECT_FALSE(tree.get_child_optional("what"));
  EXPECT_EQ(data->ToString(), "Unknown exception type");
}

TEST(WorkStatusDataTest, RethrowWithoutExceptionIsALogicError) {
  const WorkExceptionData empty(nullptr);
  try {
    empty.Rethrow();
    FAIL() << "Rethrow returned";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "WorkExceptionData::Rethrow called with no exception_ptr");
  }
}

TEST(WorkDescriptionTest, NoOpWorkDescribesItselfAndItsStatus) {
  const auto work = std::make_shared<NoOpWork>();
  EXPECT_EQ(Describe(*work).get<std::string>("name"), "NoOpWork");

  boost::property_tree::ptree tree;
  work->DescribeStatus(WorkStatus(WorkResult::Failure), tree);
  EXPECT_EQ(tree.get<std::string>("name"), "NoOpWork");
  EXPECT_EQ(tree.get<std::string>("workStatus.result"), "1");
  EXPECT_EQ(tree.get<std::string>("workStatus.retry"), "false");
}

}  // namespace
}  // namespace halv
