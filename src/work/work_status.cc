#include "work/work_status.h"

#include <stdexcept>
#include <typeinfo>
#include <utility>

#include <boost/core/demangle.hpp>

namespace halv {

namespace {

const char kUnknownExceptionType[] = "Unknown exception type";

}  // namespace

std::string WorkStatusData::ToString() const { return std::string(); }

WorkExceptionData::WorkExceptionData(std::exception_ptr exception)
    : exception_(std::move(exception)) {}

WorkExceptionData::~WorkExceptionData() = default;

void WorkExceptionData::Describe(boost::property_tree::ptree& tree) const {
  try {
    Rethrow();
  } catch (const std::exception& e) {
    tree.put("exception", boost::core::demangle(typeid(e).name()));
    tree.put("what", e.what());
  } catch (...) {
    tree.put("exception", kUnknownExceptionType);
  }
}

std::string WorkExceptionData::ToString() const {
  try {
    Rethrow();
  } catch (const std::exception& e) {
    return boost::core::demangle(typeid(e).name());
  } catch (...) {
    return kUnknownExceptionType;
  }
}

void WorkExceptionData::Rethrow() const {
  if (!exception_) {
    throw std::logic_error("WorkExceptionData::Rethrow called with no exception_ptr");
  }
  std::rethrow_exception(exception_);
}

WorkErrorData::WorkErrorData(std::string errorMessage) : errorMessage_(std::move(errorMessage)) {}

WorkErrorData::~WorkErrorData() = default;

void WorkErrorData::Describe(boost::property_tree::ptree& tree) const {
  tree.put("errorMessage", errorMessage_);
}

std::string WorkErrorData::ToString() const { return errorMessage_; }

void WorkStatus::Describe(boost::property_tree::ptree& tree) const {
  tree.put("result", static_cast<unsigned>(result));
  tree.put("retry", retry);
  if (data) {
    boost::property_tree::ptree dataTree;
    data->Describe(dataTree);
    tree.put_child("data", dataTree);
  }
}

}  // namespace halv
