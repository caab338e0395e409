// The collector's reading of posted bodies: the documents the updater writes are taken apart
// into records, everything else is refused with the right reason.

#include "analytics_body.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace halv::collect {
namespace {

// The compact documents as the updater writes them, line feed included.
const std::string kCounter =
    R"({"pid":"P","pkgid":"K","vid":"V","metrics":{"numStarts":"1"},"dimensions":{}})"
    "\n";
const std::string kTransfer =
    R"({"pid":"P","pkgid":"K","vid":"V","tid":"0123456789abcdef0123456789abcdef",)"
    R"("status":"completed","transferBytes":"1000","duration":"1.5"})"
    "\n";
const std::string kCancelWithNodes =
    R"([{"pid":"P","pkgid":"K","vid":"V","metrics":{"numCancels":"1"},"dimensions":{}},)"
    R"({"pid":"P","pkgid":"K","vid":"V","metrics":{"bytes":"600","requestTime":"2.5"},)"
    R"("dimensions":{"cdn":"n1.example"}},)"
    R"({"pid":"P","pkgid":"K","vid":"V","metrics":{"bytes":"0","requestTime":"0"},)"
    R"("dimensions":{"cdn":"n2.example"}}])"
    "\n";

TEST(AnalyticsBodyTest, CounterObjectIsOneEvent) {
  const AnalyticsBody body = ParseAnalyticsBody(kCounter);
  EXPECT_EQ(body.shape, BodyShape::Event);
  ASSERT_EQ(body.events.size(), 1u);
  EXPECT_TRUE(body.transfers.empty());
  EXPECT_TRUE(body.nodes.empty());
  const EventRecord& event = body.events[0].second;
  EXPECT_EQ(event.key.partnerId, "P");
  EXPECT_EQ(event.key.packageId, "K");
  EXPECT_EQ(event.key.versionId, "V");
  ASSERT_EQ(event.metrics.size(), 1u);
  EXPECT_EQ(event.metrics[0].first, "numStarts");
  EXPECT_EQ(event.metrics[0].second, 1u);
  EXPECT_FALSE(event.hasError);
}

TEST(AnalyticsBodyTest, TransferRecordKeepsBytesAndSeconds) {
  const AnalyticsBody body = ParseAnalyticsBody(kTransfer);
  EXPECT_EQ(body.shape, BodyShape::Transfer);
  ASSERT_EQ(body.transfers.size(), 1u);
  const TransferRecord& record = body.transfers[0];
  EXPECT_EQ(record.key.packageId, "K");
  EXPECT_EQ(record.transferId, "0123456789abcdef0123456789abcdef");
  EXPECT_EQ(record.status, "completed");
  EXPECT_EQ(record.bytes, 1000u);
  EXPECT_DOUBLE_EQ(record.durationSeconds, 1.5);
}

TEST(AnalyticsBodyTest, ArraySeparatesCounterAndNodeObjectsByTheirMembers) {
  const AnalyticsBody body = ParseAnalyticsBody(kCancelWithNodes);
  EXPECT_EQ(body.shape, BodyShape::Array);
  ASSERT_EQ(body.events.size(), 1u);
  EXPECT_EQ(body.events[0].first, 0u);
  EXPECT_EQ(body.events[0].second.metrics[0].first, "numCancels");
  ASSERT_EQ(body.nodes.size(), 2u);
  EXPECT_EQ(body.nodes[0].first, 1u);
  EXPECT_EQ(body.nodes[0].second.cdn, "n1.example");
  EXPECT_EQ(body.nodes[0].second.bytes, 600u);
  EXPECT_DOUBLE_EQ(body.nodes[0].second.requestSeconds, 2.5);
  EXPECT_EQ(body.nodes[1].first, 2u);
  EXPECT_EQ(body.nodes[1].second.bytes, 0u);
}

TEST(AnalyticsBodyTest, ErrorObjectsCarryTheirTextOrNone) {
  const AnalyticsBody withText =
      ParseAnalyticsBody(R"([{"pid":"P","pkgid":"K","vid":"V","metrics":{"numFatalErrors":"1"},)"
                         R"("dimensions":{"error":"error|2|12|Timeout was reached"}}])");
  ASSERT_EQ(withText.events.size(), 1u);
  EXPECT_TRUE(withText.events[0].second.hasError);
  EXPECT_EQ(withText.events[0].second.error, "error|2|12|Timeout was reached");

  const AnalyticsBody empty = ParseAnalyticsBody(
      R"({"pid":"P","pkgid":"K","vid":"V","metrics":{"numRetryableErrors":"1"},"dimensions":{}})");
  ASSERT_EQ(empty.events.size(), 1u);
  EXPECT_FALSE(empty.events[0].second.hasError);
}

TEST(AnalyticsBodyTest, PeriodicReportWithoutNodesIsAnEmptyArray) {
  const AnalyticsBody body = ParseAnalyticsBody("[]\n");
  EXPECT_EQ(body.shape, BodyShape::Array);
  EXPECT_TRUE(body.events.empty());
  EXPECT_TRUE(body.nodes.empty());
}

TEST(AnalyticsBodyTest, MembersMayComeInAnyOrderWithBlanks) {
  const AnalyticsBody body = ParseAnalyticsBody(
      "{ \"duration\" : \"0\", \"transferBytes\":\"0\",\"status\":\"active\",\r\n"
      "\t\"tid\":\"T\",\"vid\":\"V\",\"pkgid\":\"K\",\"pid\":\"P\" }");
  ASSERT_EQ(body.transfers.size(), 1u);
  EXPECT_EQ(body.transfers[0].key.partnerId, "P");
  EXPECT_EQ(body.transfers[0].status, "active");
}

TEST(AnalyticsBodyTest, ByteEscapesOfTheUpdaterBecomeUtf8Again) {
  // The updater writes "é" as the escapes of its two UTF-8 bytes.
  const AnalyticsBody body = ParseAnalyticsBody(
      R"({"pid":"P","pkgid":"K\u00C3\u00A9","vid":"V","tid":"T","status":"active",)"
      R"("transferBytes":"0","duration":"0"})");
  ASSERT_EQ(body.transfers.size(), 1u);
  EXPECT_EQ(body.transfers[0].key.packageId, "K\xC3\xA9");
}

TEST(AnalyticsBodyTest, FoldByteEscapesLeavesRealCharactersAlone) {
  struct Case {
    std::string in;
    std::string out;
  } cases[] = {
      {"plain", "plain"},
      {"\xC3\x83\xC2\xA9", "\xC3\xA9"},  // U+00C3 U+00A9: the bytes of "é"
      {"\xC3\xA9", "\xC3\xA9"},          // "é" alone is no valid UTF-8 byte
      {"\xE2\x82\xAC", "\xE2\x82\xAC"},  // "€" is above U+00FF
      {"\xC3\x83\xC2\xA9\xE2\x82\xAC", "\xC3\x83\xC2\xA9\xE2\x82\xAC"},  // mixed: unchanged
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},                          // U+1F600
  };
  for (const Case& c : cases) EXPECT_EQ(FoldByteEscapes(c.in), c.out) << c.in;
}

TEST(AnalyticsBodyTest, EscapesAndSurrogatePairsAreDecoded) {
  const AnalyticsBody body = ParseAnalyticsBody(
      R"({"pid":"a\"b\\c\/d\b\f\n\r\t","pkgid":"\ud83d\ude00","vid":"V","tid":"T",)"
      R"("status":"active","transferBytes":"0","duration":"0"})");
  ASSERT_EQ(body.transfers.size(), 1u);
  EXPECT_EQ(body.transfers[0].key.partnerId, "a\"b\\c/d\b\f\n\r\t");
  EXPECT_EQ(body.transfers[0].key.packageId, "\xF0\x9F\x98\x80");
}

TEST(AnalyticsBodyTest, BadBodiesAreRefusedWithTheirReason) {
  const std::string deep = std::string(9, '[') + std::string(9, ']');
  const std::string veryDeep(200000, '[');
  const std::string counterWith = R"({"pid":"P","pkgid":"K","vid":"V",)";
  struct Case {
    std::string name;
    std::string body;
    Refusal refusal;
  } cases[] = {
      {"empty", "", Refusal::NotJson},
      {"text", "hello", Refusal::NotJson},
      {"truncated", kCounter.substr(0, 40), Refusal::NotJson},
      {"two documents", kCounter + kCounter, Refusal::NotJson},
      {"trailing comma", R"(["a",])", Refusal::NotJson},
      {"single quotes", "{'pid':'P'}", Refusal::NotJson},
      {"raw control character", "[\"a\x01\"]", Refusal::NotJson},
      {"invalid UTF-8", "[\"\xC3\x28\"]", Refusal::NotJson},
      {"overlong UTF-8", "[\"\xC0\xAF\"]", Refusal::NotJson},
      {"lone surrogate", R"(["\ud83d"])", Refusal::NotJson},
      {"bad escape", R"(["\x41"])", Refusal::NotJson},
      {"nine levels", deep, Refusal::NotJson},
      {"200000 levels", veryDeep, Refusal::NotJson},
      {"leading zero", "[01]", Refusal::NotJson},
      {"string", R"("pid")", Refusal::UnknownShape},
      {"number", "42", Refusal::UnknownShape},
      {"empty object", "{}", Refusal::UnknownShape},
      {"other object", R"({"a":"b"})", Refusal::UnknownShape},
      {"record missing duration",
       R"({"pid":"P","pkgid":"K","vid":"V","tid":"T","status":"active","transferBytes":"0"})",
       Refusal::UnknownShape},
      {"record with extra member",
       R"({"pid":"P","pkgid":"K","vid":"V","tid":"T","status":"active","transferBytes":"0",)"
       R"("duration":"0","x":"y"})",
       Refusal::UnknownShape},
      {"record repeating a member",
       R"({"pid":"P","pid":"K","vid":"V","tid":"T","status":"active","transferBytes":"0",)"
       R"("duration":"0"})",
       Refusal::UnknownShape},
      {"record with a number value",
       R"({"pid":"P","pkgid":"K","vid":"V","tid":"T","status":"active","transferBytes":1000,)"
       R"("duration":"0"})",
       Refusal::UnknownShape},
      {"record with unknown status",
       R"({"pid":"P","pkgid":"K","vid":"V","tid":"T","status":"paused","transferBytes":"0",)"
       R"("duration":"0"})",
       Refusal::UnknownShape},
      {"record with negative bytes",
       R"({"pid":"P","pkgid":"K","vid":"V","tid":"T","status":"active","transferBytes":"-1",)"
       R"("duration":"0"})",
       Refusal::UnknownShape},
      {"record with bytes beyond 63 bits",
       R"({"pid":"P","pkgid":"K","vid":"V","tid":"T","status":"active",)"
       R"("transferBytes":"9223372036854775808","duration":"0"})",
       Refusal::UnknownShape},
      {"record with infinite duration",
       R"({"pid":"P","pkgid":"K","vid":"V","tid":"T","status":"active","transferBytes":"0",)"
       R"("duration":"1e999"})",
       Refusal::UnknownShape},
      {"counter without metrics", counterWith + R"("metrics":{},"dimensions":{}})",
       Refusal::UnknownShape},
      {"counter with text count", counterWith + R"("metrics":{"numStarts":"one"},"dimensions":{}})",
       Refusal::UnknownShape},
      {"counter with other dimension",
       counterWith + R"("metrics":{"numStarts":"1"},"dimensions":{"cdn":"x"}})",
       Refusal::UnknownShape},
      {"counter with array metrics", counterWith + R"("metrics":["1"],"dimensions":{}})",
       Refusal::UnknownShape},
      {"node with text bytes",
       "[" + counterWith +
           R"("metrics":{"bytes":"many","requestTime":"1"},"dimensions":{"cdn":"n"}}])",
       Refusal::UnknownShape},
      {"transfer record inside an array", "[" + kTransfer + "]", Refusal::UnknownShape},
      {"string inside an array", R"(["x"])", Refusal::UnknownShape},
      {"nested array", "[[]]", Refusal::UnknownShape},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      ParseAnalyticsBody(c.body);
      ADD_FAILURE() << "accepted";
    } catch (const BodyRefused& refused) {
      EXPECT_EQ(refused.refusal(), c.refusal) << refused.what();
    }
  }
}

TEST(AnalyticsBodyTest, BodyOverOneMebibyteIsRefusedUnread) {
  std::string body = "[" + std::string(kMaxBodyBytes, ' ') + "]";
  try {
    ParseAnalyticsBody(body);
    ADD_FAILURE() << "accepted";
  } catch (const BodyRefused& refused) {
    EXPECT_EQ(refused.refusal(), Refusal::TooLarge);
  }
  body.resize(kMaxBodyBytes - 1);
  body += "]";
  EXPECT_EQ(ParseAnalyticsBody(body).shape, BodyShape::Array);
}

}  // namespace
}  // namespace halv::collect
