#include "analytics/analytics_request.h"

#include <cstdint>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <boost/property_tree/ptree.hpp>

#include "event/json_writer.h"
#include "transfer/transfer_params.h"

namespace halv {
namespace {

using boost::property_tree::ptree;

TransferParams Params() {
  TransferParams params;
  params.transferId = "0123456789abcdef0123456789abcdef";
  params.partnerId = "P";
  params.packageId = "K";
  params.versionId = "V";
  return params;
}

std::string Json(const OutputManifest& request) {
  ptree tree;
  request.Write(tree);
  return ToNarrowJson(tree);
}

TEST(AnalyticsRequestTest, EventDocumentsByteForByte) {
  struct Case {
    const char* name;
    std::shared_ptr<OutputManifest> request;
    std::string json;
  };
  const Case cases[] = {
      {"counter", std::make_shared<SimpleEventAnalyticsRequest>(Params(), "numStarts"),
       R"({"pid":"P","pkgid":"K","vid":"V","metrics":{"numStarts":"1"},"dimensions":{}})"},
      {"counter with a dot stays one key",
       std::make_shared<SimpleEventAnalyticsRequest>(Params(), "num.Starts"),
       R"({"pid":"P","pkgid":"K","vid":"V","metrics":{"num.Starts":"1"},"dimensions":{}})"},
      {"error without text", std::make_shared<ErrorAnalyticsRequest>(Params(), "numErrors", ""),
       R"({"pid":"P","pkgid":"K","vid":"V","metrics":{"numErrors":"1"},"dimensions":{}})"},
      {"error with text",
       std::make_shared<ErrorAnalyticsRequest>(Params(), "numErrors", "disk \"full\""),
       R"({"pid":"P","pkgid":"K","vid":"V","metrics":{"numErrors":"1"},)"
       R"("dimensions":{"error":"disk \"full\""}})"},
      {"node", std::make_shared<OptimizerAnalyticsRequest>(Params(), 4096, 1234, "n1.example"),
       R"({"pid":"P","pkgid":"K","vid":"V","metrics":{"bytes":"4096","requestTime":"1.234"},)"
       R"("dimensions":{"cdn":"n1.example"}})"},
      {"transfer",
       std::make_shared<TransferAnalyticsRequest>(Params(), TransferState::Complete, 1000, 1500),
       R"({"pid":"P","pkgid":"K","vid":"V","tid":"0123456789abcdef0123456789abcdef",)"
       R"("status":"completed","transferBytes":"1000","duration":"1.5"})"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Json(*c.request), c.json + "\n") << c.name;
  }
}

TEST(AnalyticsRequestTest, StatusOfEveryState) {
  const char* expected[] = {"active", "active",    "active",    "active",  "active",
                            "active", "suspended", "completed", "canceled"};
  for (std::uint8_t state = 0; state < 9; ++state) {
    EXPECT_EQ(TransferAnalyticsStatus(static_cast<TransferState>(state)), expected[state])
        << int{state};
  }
}

TEST(AnalyticsRequestTest, SecondsInGeneralNotation) {
  const std::pair<std::uint64_t, const char*> cases[] = {
      {0, "0"},       {5000, "5"},        {1234, "1.234"},
      {1500, "1.5"},  {1, "0.001"},       {4294967295u, "4294967.295"},
      {999, "0.999"}, {86400000, "86400"}};
  for (const auto& [ms, text] : cases) EXPECT_EQ(MillisecondsAsSeconds(ms), text) << ms;
}

}  // namespace
}  // namespace halv
