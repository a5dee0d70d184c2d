#include "filters/centroid_filter.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "filters/filter_language.h"
#include "filters/filter_walk.h"
#include "filters/metadata_summary.h"

namespace nivora {
namespace {

using json = nlohmann::json;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr uint32_t kCentroid = 7;

CentroidSummary Summary(double min, double max, std::vector<uint32_t> hashes) {
  return {kCentroid, min, max, std::move(hashes)};
}

// Every field below has one summary for centroid 7; "size" has none.
FilterContext Context() {
  const CentroidSummary tens = Summary(10, 20, {HashText("red"), HashText("blue")});
  FieldSummaryMaps maps;
  maps["price"][kCentroid] = tens;
  maps["color"][kCentroid] = tens;
  maps["flag"][kCentroid] = Summary(kEmptyRangeMin, kEmptyRangeMax, {HashBoolean(true)});
  maps["empty"][kCentroid] = Summary(kEmptyRangeMin, kEmptyRangeMax, {});
  maps["wide"][kCentroid] = Summary(kFullRangeMin, kFullRangeMax, {});
  maps["$odd"][kCentroid] = tens;
  return FilterContext(maps, {kCentroid});
}

struct Case {
  const char* filter;
  bool kept;
};

TEST(CentroidMayMatchTest, SummaryTestTable) {
  const FilterContext context = Context();
  const Case cases[] = {
      // Numeric operands against the range.
      {R"({"price": {"$eq": 15}})", true},
      {R"({"price": {"$gte": 20}})", true},
      {R"({"price": {"$lte": 10}})", true},
      {R"({"price": {"$gt": 20}})", false},
      {R"({"price": {"$lt": 10}})", false},
      {R"({"price": {"$eq": 25}})", false},
      {R"({"price": {"$eq": 15.5}})", true},
      {R"({"price": {"$gt": "9"}})", true},  // never true on items: passes harmlessly
      // Strings and booleans by hash.
      {R"({"color": {"$eq": "red"}})", true},
      {R"({"color": {"$eq": "green"}})", false},
      {R"({"flag": true})", true},
      {R"({"flag": false})", false},
      {R"({"color": {"$in": ["green", 12]}})", true},
      {R"({"color": {"$in": ["green", 25]}})", false},
      {R"({"color": {"$in": ["green", true]}})", false},
      {R"({"flag": {"$in": ["green", true]}})", true},
      {R"({"color": {"$in": []}})", false},
      {R"({"color": {"$in": ["green", null]}})", true},
      {R"({"color": {"$in": ["green", {"a": 1}]}})", true},
      {R"({"color": {"$in": ["green", ["red"]]}})", true},
      {R"({"color": {"$in": "red"}})", true},  // scalar: judged on the items
      {R"({"color": {"$in": 99}})", true},
      {R"({"color": {"$eq": ["x"]}})", true},
      {R"({"color": {"$eq": {"a": 1}}})", true},
      // Operators a summary cannot refute.
      {R"({"color": {"$ne": "red"}})", true},
      {R"({"color": {"$nin": ["red"]}})", true},
      {R"({"color": {"$regex": "^r"}})", true},
      {R"({"color": {"$exists": false}})", true},
      {R"({"color": {"$type": "number"}})", true},
      // No number seen, and numbers at the sentinel bounds.
      {R"({"empty": {"$eq": 5}})", false},
      {R"({"empty": {"$lte": 1e9}})", false},
      {R"({"empty": {"$in": [1, 2]}})", false},
      {R"({"empty": {"$ne": 5}})", true},
      {R"({"wide": {"$eq": 5}})", true},
      {R"({"wide": {"$gt": 9876543211}})", false},
      // A field without a summary for the centroid.
      {R"({"size": 1})", false},
      {R"({"size": {"$exists": true}})", false},
      {R"({"size": {"$ne": 1}})", false},
      {R"({"size": {"$exists": false}})", true},
      {R"({"size": {"$nin": [1]}})", true},
      {R"({"$and": [{"size": {"$nin": [1], "$type": "number"}}]})", true},
      {R"({"$and": [{"size": {"$gt": 5, "$nin": [1]}}]})", false},  // "$gt" comes first
      // Logical operators; negations cannot be judged from summaries.
      {R"({"$or": [{"price": {"$gt": 100}}, {"color": {"$eq": "red"}}]})", true},
      {R"({"$or": [{"price": {"$gt": 100}}, {"color": {"$eq": "green"}}]})", false},
      {R"({"$or": []})", false},
      {R"({"$and": []})", true},
      {R"({"$nor": []})", true},
      {R"({"$and": [{"price": 15}, {"color": "green"}]})", false},
      {R"({"$not": {"color": {"$eq": "red"}}})", true},
      {R"({"$nor": [{"color": "red"}, {"price": 15}]})", true},
      {R"({"$and": [{"color": {"$ne": "blue"}}, {"$not": {"color": {"$eq": "red"}}}]})", true},
      {R"({"$and": [{"$odd": {"$eq": 99}}]})", true},  // "$" names are never loaded
      {R"({"$and": [{"$odd": 99}]})", false},          // not a condition: never matches
      {R"({"$and": [null, []]})", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CentroidMayMatch(context, ParseFilters(c.filter), kCentroid), c.kept) << c.filter;
  }
  EXPECT_TRUE(CentroidMayMatch(context, json(), kCentroid));
  EXPECT_TRUE(CentroidMayMatch(context, json::object(), kCentroid));
  try {
    CentroidMayMatch(context, ParseFilters(R"({"$or": [5]})"), kCentroid);
    ADD_FAILURE() << "accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), kNotAFilterMessage);
  }
}

// "v" followed by the digits of i (appended: GCC 12 warns falsely on
// literal + std::string).
std::string Value(int i) {
  std::string value = "v";
  value += std::to_string(i);
  return value;
}

// A long "$in" against many recorded hashes, stored ascending or in any
// order: the same answer as one by one.
TEST(CentroidMayMatchTest, LongInOperandsAgainstManyHashes) {
  std::vector<uint32_t> hashes;
  for (int i = 0; i < 500; ++i) hashes.push_back(HashText(Value(i)));
  std::vector<uint32_t> ascending = hashes;
  std::sort(ascending.begin(), ascending.end());
  json absent = json::array(), present = json::array();
  for (int i = 500; i < 1000; ++i) absent.push_back(Value(i));
  present = absent;
  present.push_back("v499");
  for (const auto& stored : {hashes, ascending}) {
    FieldSummaryMaps maps;
    maps["name"][kCentroid] = Summary(kEmptyRangeMin, kEmptyRangeMax, stored);
    const FilterContext context(maps, {kCentroid});
    EXPECT_FALSE(CentroidMayMatch(context, json{{"name", {{"$in", absent}}}}, kCentroid));
    EXPECT_TRUE(CentroidMayMatch(context, json{{"name", {{"$in", present}}}}, kCentroid));
  }
}

TEST(EvaluateCentroidFilterTest, KeepsCandidateOrderAndValidates) {
  FieldSummaryMaps maps;
  maps["n"][4] = {4, 1, 1, {}};
  maps["n"][2] = {2, 5, 9, {}};
  maps["n"][0] = {0, 7, 7, {}};
  const FilterContext context(maps, {4, 3, 2, 1, 0});
  EXPECT_THAT(EvaluateCentroidFilter(context, ParseFilters(R"({"n": {"$gte": 6}})"), true),
              ElementsAre(2, 0));
  EXPECT_THAT(EvaluateCentroidFilter(context, ParseFilters(R"({"n": {"$exists": false}})"), true),
              ElementsAre(4, 3, 2, 1, 0));
  EXPECT_THAT(EvaluateCentroidFilter(context, ParseFilters(R"({"m": 1})"), true), IsEmpty());
  testing::internal::CaptureStderr();
  EXPECT_THROW(EvaluateCentroidFilter(context, json::parse(R"({"a": 1, "b": 2})"), true),
               std::invalid_argument);
  EXPECT_NE(testing::internal::GetCapturedStderr(), "");
  EXPECT_THAT(EvaluateCentroidFilter(context, json::parse(R"({"a": 1, "b": 2})"), false),
              IsEmpty());
}

TEST(GetFilterFieldNamesTest, CollectsFieldsOutsideNegations) {
  struct NamesCase {
    const char* filter;
    std::vector<std::string> names;
  } cases[] = {
      {R"({"$and": [{"b": {"$eq": 1}}, {"a.x": {"$gt": 2}}, {"$or": [{"b": {"$in": [1]}}]}]})",
       {"a.x", "b"}},
      {R"({"$nor": [{"a": {"$eq": 1}}]})", {}},
      {R"({"$not": {"a": 1}})", {}},
      {R"({"price": 5})", {"price"}},
      {R"({"": 5})", {""}},
      {R"({"$and": {"k": {"z": 1}}})", {}},  // member values are the filters
      {R"({"$or": [{"m": {"$eq": 1, "n": 2}}, 7, null]})", {"m", "m.n"}},
  };
  for (const NamesCase& c : cases) {
    EXPECT_EQ(GetFilterFieldNames(ParseFilters(c.filter)), c.names) << c.filter;
  }
  EXPECT_THAT(GetFilterFieldNames(json()), IsEmpty());
}

}  // namespace
}  // namespace nivora
