#include "filters/item_filter.h"

#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "filters/filter_language.h"
#include "filters/filter_walk.h"
#include "filters/json_text.h"

namespace nivora {
namespace {

using json = nlohmann::json;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

bool Matches(const std::string& filter, const std::string& metadata) {
  FilterContext context = ParseMetadataDocuments({metadata});
  return !EvaluateFilter(context, ParseFilters(filter), /*validate=*/true).empty();
}

struct MatchCase {
  const char* filter;
  const char* metadata;
  bool matches;
};

void ExpectTable(const std::vector<MatchCase>& cases) {
  for (const MatchCase& c : cases) {
    EXPECT_EQ(Matches(c.filter, c.metadata), c.matches) << c.filter << " on " << c.metadata;
  }
}

TEST(ItemFilterTest, AbsentAndNullFields) {
  ExpectTable({
      {R"({"color": {"$ne": "red"}})", "{}", false},
      {R"({"color": {"$ne": "red"}})", R"({"color": null})", false},
      {R"({"color": {"$exists": true}})", R"({"color": null})", false},
      {R"({"color": {"$nin": ["red"]}})", "{}", true},
      {R"({"color": {"$exists": false}})", R"({"color": null})", true},
      {R"({"color": {"$exists": false}})", R"({"color": "red"})", false},
      {R"({"color": {"$exists": true}})", R"({"color": "red"})", true},
      {R"({"a": {"$exists": false}})", "", true},      // empty text: {}
      {R"({"a": {"$exists": false}})", "null", true},  // null document
      {R"({"a": {"$exists": false}})", "[1, 2]", true},
      {R"({"a": 1})", R"([{"a": 1}])", false},
      // Several operators (members sort by name): absent passes with "$nin" first.
      {R"({"$and": [{"a": {"$nin": [1], "$type": "number"}}]})", "{}", true},
      {R"({"$and": [{"a": {"$gt": 0, "$nin": [1]}}]})", "{}", false},
      {R"({"$and": [{"a": {"$exists": false, "$ne": 1}}]})", "{}", false},
  });
}

TEST(ItemFilterTest, EqualityAcrossNumberTypesAndStrings) {
  ExpectTable({
      {R"({"price": {"$gt": 5}})", R"({"price": "9"})", false},
      {R"({"price": {"$gte": 5}})", R"({"price": 5.0})", true},
      {R"({"price": {"$lt": 5.5}})", R"({"price": 5})", true},
      {R"({"price": {"$lte": "9"}})", R"({"price": 5})", false},
      {R"({"price": 5})", R"({"price": 5.0})", true},
      {R"({"price": 5})", R"({"price": "5"})", false},
      {R"({"flag": true})", R"({"flag": 1})", false},
      {R"({"flag": {"$ne": true}})", R"({"flag": 1})", true},
      {R"({"n": 18446744073709551615})", R"({"n": 18446744073709551615})", true},
      {R"({"n": 18446744073709551615})", R"({"n": -1})", false},
      {R"({"n": -1})", R"({"n": 18446744073709551615})", false},
      {R"({"n": {"$in": [7]}})", R"({"n": 7.0})", true},
      {R"({"meta": {"a": 1}})", R"({"meta": {"a": 1.0}})", true},
      {R"({"meta": {"$eq": {"a": 1}}})", R"({"meta": {"a": 1}})", true},
      {R"({"meta": {"$in": [{"a": [1]}]}})", R"({"meta": {"a": [1]}})", true},
      {R"({"s": {"$in": ["x", "y"]}})", R"({"s": "y"})", true},
      {R"({"s": {"$nin": ["x", "y"]}})", R"({"s": "z"})", true},
      {R"({"s": {"$in": "y"}})", R"({"s": "y"})", true},             // scalar operand
      {R"({"s": {"$in": {"k": "y"}}})", R"({"s": "y"})", true},      // member values
      {R"({"name": {"$regex": "^ab"}})", R"({"name": "abc"})", true},
      {R"({"name": {"$regex": "^ab"}})", R"({"name": "cab"})", false},
      {R"({"name": {"$regex": "b"}})", R"({"name": "abc"})", true},
      {R"({"name": {"$regex": "B"}})", R"({"name": "abc"})", false},
      {R"({"n": {"$regex": "x"}})", R"({"n": 5})", false},
      {R"({"x": {"$type": "null"}})", "{}", false},
      {R"({"x": {"$type": "number"}})", R"({"x": 18446744073709551615})", true},
      {R"({"x": {"$type": "boolean"}})", R"({"x": false})", true},
      {R"({"x": {"$type": "object"}})", R"({"x": {}})", true},
  });
}

TEST(ItemFilterTest, ArraysAreMatchedByElement) {
  ExpectTable({
      {R"({"tags": {"$eq": "a"}})", R"({"tags": ["a", "b"]})", true},
      {R"({"tags": ["a", "b"]})", R"({"tags": ["a", "b"]})", false},
      {R"({"tags": ["a", "b"]})", R"({"tags": [["a", "b"]]})", true},
      {R"({"tags": {"$ne": "c"}})", R"({"tags": []})", true},
      {R"({"tags": {"$ne": "a"}})", R"({"tags": ["a", "b"]})", false},
      {R"({"tags": {"$in": ["a"]}})", R"({"tags": []})", false},
      {R"({"tags": {"$nin": ["a"]}})", R"({"tags": []})", true},
      {R"({"tags": {"$nin": ["a"]}})", R"({"tags": ["b", "a"]})", false},
      {R"({"tags": {"$type": "array"}})", R"({"tags": []})", true},
      {R"({"tags": {"$type": "string"}})", R"({"tags": ["a"]})", false},
      {R"({"nums": {"$gt": 4}})", R"({"nums": ["9", 3, 5]})", true},
      {R"({"nums": {"$gt": 5}})", R"({"nums": ["9", 3, 5]})", false},
      {R"({"tags": {"$regex": "a"}})", R"({"tags": ["a"]})", false},
      {R"({"tags": {"$exists": true}})", R"({"tags": []})", true},
  });
}

// prefix followed by the digits of i (appended, which keeps GCC 12's
// -Wrestrict false alarm on literal + std::string away).
std::string Named(char prefix, int i) {
  std::string name(1, prefix);
  name += std::to_string(i);
  return name;
}

// Long operands against long field arrays go through a hashed set; each
// case is judged against a plain pairwise scan, over many documents so that
// the set built once serves them all.
TEST(ItemFilterTest, LongInOperandsAgreeWithAPairwiseScan) {
  json operand = json::array();
  for (int i = 0; i < 3000; ++i) {
    operand.push_back(Named('s', i * 2));
    operand.push_back(static_cast<double>(i * 3));  // 3.0 equals the integer 3
  }
  operand.push_back(json{{"k", json::array({1, "x"})}});
  operand.push_back(json::array({1.0, 2}));
  operand.push_back(-0.0);
  operand.push_back(true);
  operand.push_back(static_cast<uint64_t>(-1));  // never equals the signed -1

  std::vector<json> values = {
      "s10", "s11", 9, 10, 9.0, -0.0, 0, 0.5, true, false, json::array({1, 2.0}),
      json::array({json::array({1, 2.0})}), json::array({"s11", 7, "s12"}),
      json{{"k", json::array({1.0, "x"})}}, json{{"k", json::array({1, "y"})}}, -1,
      static_cast<uint64_t>(-1), json::array(), json::object(), "s5999",
  };
  std::vector<std::string> metadata;
  std::vector<bool> expected_in;
  // Arrays are matched by element, never as a whole.
  const auto scan = [&operand](const json& v) {
    const json elements = v.is_array() ? v : json::array({v});
    for (const json& x : elements) {
      for (const json& e : operand) {
        if (JsonEquals(x, e)) return true;
      }
    }
    return false;
  };
  for (const json& v : values) {
    metadata.push_back(json{{"f", v}}.dump());
    expected_in.push_back(scan(v));
  }
  json long_array = json::array();
  for (int i = 0; i < 5000; ++i) long_array.push_back(Named('t', i));
  metadata.push_back(json{{"f", long_array}}.dump());
  expected_in.push_back(false);
  long_array.push_back(12);
  metadata.push_back(json{{"f", long_array}}.dump());
  expected_in.push_back(true);

  const FilterContext context = ParseMetadataDocuments(metadata);
  const json in_filter = json{{"f", {{"$in", operand}}}};
  const json nin_filter = json{{"f", {{"$nin", operand}}}};
  std::vector<int> want_in, want_nin;
  for (size_t i = 0; i < expected_in.size(); ++i) {
    (expected_in[i] ? want_in : want_nin).push_back(static_cast<int>(i));
  }
  EXPECT_EQ(EvaluateFilter(context, in_filter, true), want_in);
  EXPECT_EQ(EvaluateFilter(context, nin_filter, true), want_nin);
  for (size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(MatchesFilter(in_filter, context.documents[i]), expected_in[i]) << values[i];
  }
}

TEST(ItemFilterTest, DottedPathsNeverEnterArrays) {
  ExpectTable({
      {R"({"a.b": {"$eq": 1}})", R"({"a": {"b": 1}})", true},
      {R"({"a.b": {"$eq": 1}})", R"({"a.b": 1})", false},
      {R"({"a.b": {"$eq": 1}})", R"({"a": [{"b": 1}]})", false},
      {R"({"a.b": {"$exists": false}})", R"({"a": 5})", true},
      {R"({"tags.0": "x"})", R"({"tags": ["x"]})", false},
      {R"({"a..b": 1})", R"({"a": {"": {"b": 1}}})", true},
      {R"({"": 1})", R"({"": 1})", true},
  });
}

TEST(ItemFilterTest, LogicalOperators) {
  ExpectTable({
      {R"({"$or": []})", "{}", false},
      {R"({"$and": []})", "{}", true},
      {R"({"$nor": []})", "{}", true},
      {R"({"$or": [{"a": 1}, {"b": 2}]})", R"({"b": 2})", true},
      {R"({"$nor": [{"a": 1}, {"b": 2}]})", R"({"b": 2})", false},
      {R"({"$nor": [{"a": 1}, {"b": 2}]})", R"({"b": 3})", true},
      {R"({"$not": {"a": 1}})", R"({"a": 2})", true},
      {R"({"$not": {"a": 1}})", R"({"a": 1})", false},
      {R"({"$not": {"a": 1}})", "{}", true},
      {R"({"$and": [null, []]})", "{}", true},
  });
}

TEST(ItemFilterTest, EvaluateFilterReturnsAscendingPositions) {
  FilterContext context =
      ParseMetadataDocuments({R"({"a": 1})", "", R"({"a": [1, 2]})", "null", R"({"a": 1.0})"});
  EXPECT_THAT(EvaluateFilter(context, ParseFilters(R"({"a": 1})"), true), ElementsAre(0, 2, 4));
  EXPECT_THAT(EvaluateFilter(context, json::object(), false), ElementsAre(0, 1, 2, 3, 4));
  EXPECT_THAT(EvaluateFilter(context, json(), false), ElementsAre(0, 1, 2, 3, 4));
}

TEST(ItemFilterTest, LaterClausesAreNotReachedAfterAFailure) {
  // "b" carries an unknown operator; it only surfaces where "a" equals 1.
  const json filter = ParseFilters(R"({"$and": [{"a": 1}, {"b": {"$foo": 2}}]})");
  FilterContext miss = ParseMetadataDocuments({R"({"a": 2, "b": 2})"});
  EXPECT_TRUE(EvaluateFilter(miss, filter, true).empty());
  FilterContext hit = ParseMetadataDocuments({R"({"a": 1, "b": 2})"});
  testing::internal::CaptureStderr();
  EXPECT_THROW(EvaluateFilter(hit, filter, true), std::invalid_argument);
  testing::internal::GetCapturedStderr();
}

std::string EvaluationError(const std::string& filter, const std::vector<std::string>& metadata) {
  testing::internal::CaptureStderr();
  std::string message = "<no error>";
  try {
    FilterContext context = ParseMetadataDocuments(metadata);
    EvaluateFilter(context, ParseFilters(filter), true);
  } catch (const std::invalid_argument& e) {
    message = e.what();
  }
  const std::string err = testing::internal::GetCapturedStderr();
  if (message != "<no error>") {
    EXPECT_THAT(err, HasSubstr("[CRITICAL] " + message)) << "not logged: " << message;
  }
  return message;
}

// A lookahead over long texts, through the filter path: decided in one
// pass per text (the benchmark holds the times).
TEST(ItemFilterTest, RegexLookaheadOverLongTexts) {
  std::string text(300000, 'x');
  std::vector<std::string> metadata;
  metadata.push_back(json{{"t", text}}.dump());
  text[299990] = 'z';
  metadata.push_back(json{{"t", text}}.dump());
  text[299990] = 'x';
  text[0] = 'z';
  metadata.push_back(json{{"t", text}}.dump());
  const FilterContext context = ParseMetadataDocuments(metadata);
  EXPECT_EQ(EvaluateFilter(context, ParseFilters(R"js({"t": {"$regex": "(?=.*z)x"}})js"), true),
            std::vector<int>{1});
  EXPECT_EQ(EvaluateFilter(context, ParseFilters(R"js({"t": {"$regex": "x(?!.*z)"}})js"), true),
            (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(EvaluateFilter(context, ParseFilters(R"js({"t": {"$regex": "^(?!.*z)"}})js"), true),
            std::vector<int>{0});
}

TEST(ItemFilterTest, ErrorMessages) {
  EXPECT_THAT(EvaluationError(R"({"a": 1})", {"{}", "{bad"}),
              StartsWith("Invalid JSON string provided: [json.exception.parse_error.101]"));
  EXPECT_THAT(EvaluationError(R"({"a": 1})", {R"({"a": 1e999})"}),
              StartsWith("Invalid JSON string provided: [json.exception.out_of_range.406]"));
  EXPECT_EQ(EvaluationError(R"({"a": 1})", {std::string(65, '[') + std::string(65, ']')}),
            "Invalid JSON string provided: nesting deeper than 64 levels");
  EXPECT_NO_THROW(ParseMetadataDocuments({std::string(64, '[') + std::string(64, ']')}));

  // A bad pattern fails only once some document offers a string to match.
  EXPECT_EQ(EvaluationError(R"({"name": {"$regex": "("}})", {R"({"name": 5})"}), "<no error>");
  EXPECT_THAT(EvaluationError(R"({"name": {"$regex": "("}})", {R"({"name": "x"})"}),
              StartsWith("Invalid regex pattern: (\nError: "));
  const std::string huge(1025, 'a');
  EXPECT_THAT(EvaluationError(R"({"name": {"$regex": ")" + huge + "\"}}", {R"({"name": "x"})"}),
              StartsWith("Invalid regex pattern: " + huge + "\nError: "));
  EXPECT_EQ(EvaluationError(R"({"name": {"$regex": "(?:a?){9000}b"}})", {R"({"name": "x"})"}),
            "Invalid regex pattern: (?:a?){9000}b\nError: pattern expands to more than 5000 "
            "instructions");

  EXPECT_EQ(EvaluationError(R"({"x": {"$type": "null"}})", {R"({"x": 1})"}),
            "Unsupported type in $type operator: null");
  EXPECT_EQ(EvaluationError(R"({"$and": [{"b": {"$foo": 2}}]})", {R"({"b": 1})"}),
            "Unsupported operator: $foo");
}

TEST(ItemFilterTest, LibraryErrorsPassThroughUnchanged) {
  FilterContext context = ParseMetadataDocuments({R"({"f": "s", "g": 1})"});
  auto evaluate = [&](const char* filter) { EvaluateFilter(context, ParseFilters(filter), true); };
  try {
    evaluate(R"({"g": {"$exists": 1}})");
    FAIL();
  } catch (const json::type_error& e) {
    EXPECT_THAT(e.what(), HasSubstr("type must be boolean, but is number"));
  }
  EXPECT_THROW(evaluate(R"({"f": {"$regex": 5}})"), json::type_error);
  EXPECT_THROW(evaluate(R"({"g": {"$type": 5}})"), json::type_error);
  // Absent fields run no operator, so a bad operand there raises nothing.
  EXPECT_NO_THROW(evaluate(R"({"zz": {"$exists": 1}})"));
}

// Reached only when evaluated: the operand element or the field condition
// that is not a filter object.
TEST(ItemFilterTest, OperandsThatAreNotFiltersAreRefused) {
  FilterContext context = ParseMetadataDocuments({R"({"f": "s", "g": 1})"});
  for (const char* filter : {R"({"$and": "x"})", R"({"$and": [7]})", R"({"$or": [[{"g": 1}]]})",
                             R"({"$not": 5})", R"({"$and": {"g": {"$eq": null}}})"}) {
    try {
      EvaluateFilter(context, ParseFilters(filter), true);
      ADD_FAILURE() << "accepted " << filter;
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), kNotAFilterMessage) << filter;
    }
  }
}

TEST(ItemFilterTest, OperatorAndPathHelpers) {
  EXPECT_TRUE(EvaluateOperator("$in", json(5), json::parse("[1, 5]")));
  EXPECT_FALSE(EvaluateOperator("$in", json(5), json()));  // null operand: no elements
  EXPECT_TRUE(EvaluateOperator("$nin", json(5), json()));
  const json doc = json::parse(R"({"a": {"b": {"c": null, "d": 0}}})");
  EXPECT_EQ(ResolveField(doc, "a.b.c"), nullptr);
  ASSERT_NE(ResolveField(doc, "a.b.d"), nullptr);
  EXPECT_EQ(*ResolveField(doc, "a.b.d"), 0);
  EXPECT_EQ(ResolveField(doc, "a.b.d.e"), nullptr);
  EXPECT_TRUE(MatchesFilter(json(), doc));
  EXPECT_TRUE(MatchesFilter(json::parse(R"({"a.b.d": {"$lte": 0}})"), doc));
}

}  // namespace
}  // namespace nivora
