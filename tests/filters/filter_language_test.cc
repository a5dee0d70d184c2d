#include "filters/filter_language.h"

#include <stdexcept>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace nivora {
namespace {

using json = nlohmann::json;
using ::testing::HasSubstr;
using ::testing::StartsWith;

std::string ParseError(const std::string& text) {
  try {
    ParseFilters(text);
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "<no error>";
}

TEST(ParseFiltersTest, EmptyFormsComeBackUnvalidated) {
  EXPECT_EQ(ParseFilters(""), json::object());
  EXPECT_EQ(ParseFilters("{}"), json::object());
  EXPECT_EQ(ParseFilters(" [] "), json::array());
  EXPECT_TRUE(ParseFilters("null").is_null());
  for (const char* text : {"", "{}", "[]", "null"}) EXPECT_TRUE(IsEmptyFilter(ParseFilters(text)));
}

TEST(ParseFiltersTest, TextThatIsNotOneJsonValueIsRefused) {
  for (const char* text : {"  ", "{} x", "{\"a\": 1,}", "{/*c*/}", "{\"a\": 1e400}"}) {
    EXPECT_THAT(ParseError(text), StartsWith("Invalid JSON format for filters: [json.exception."))
        << text;
  }
}

TEST(ParseFiltersTest, NestingIsBoundedAt64Levels) {
  // {"$and": [[...[1]...]]}: the object and levels - 1 arrays.
  auto nested = [](int levels) {
    return "{\"$and\": " + std::string(levels - 1, '[') + "1" + std::string(levels - 1, ']') +
           "}";
  };
  EXPECT_NO_THROW(ParseFilters(nested(64)));
  EXPECT_EQ(ParseError(nested(65)),
            "Invalid JSON format for filters: nesting deeper than 64 levels");
}

TEST(ParseFiltersTest, ShorthandBecomesEquality) {
  struct Case {
    const char* text;
    const char* normalised;
  } cases[] = {
      {R"({"price": 5})", R"({"price": {"$eq": 5}})"},
      {R"({"tags": ["a", "b"]})", R"({"tags": {"$eq": ["a", "b"]}})"},
      {R"({"meta": {"a": 1}})", R"({"meta": {"$eq": {"a": 1}}})"},
      {R"({"$not": {"a": 1}})", R"({"$not": {"a": {"$eq": 1}}})"},
      {R"({"$and": [{"a": 1}, {"b": {"$foo": 2}}, 7]})",
       R"({"$and": [{"a": {"$eq": 1}}, {"b": {"$foo": 2}}, 7]})"},
      {R"({"$or": [{"$nor": [{"x": "y"}]}]})", R"({"$or": [{"$nor": [{"x": {"$eq": "y"}}]}]})"},
      // Operands of field operators are values, never rewritten.
      {R"({"meta": {"$eq": {"a": 1}}})", R"({"meta": {"$eq": {"a": 1}}})"},
      {R"({"meta": {"$in": [{"a": 1}, {"b": [2]}]}})", R"({"meta": {"$in": [{"a": 1}, {"b": [2]}]}})"},
      {R"({"$and": [{"m": {"$ne": {"k": "v"}}}]})", R"({"$and": [{"m": {"$ne": {"k": "v"}}}]})"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseFilters(c.text), json::parse(c.normalised)) << c.text;
  }
}

TEST(ParseFiltersTest, NormalisingWrapsPlainMembersOfAConditionOnly) {
  json filter = json::parse(R"({"price": {"$gt": 5, "limit": 2}})");
  NormalizeFilter(filter);
  EXPECT_EQ(filter, json::parse(R"({"price": {"$gt": 5, "limit": {"$eq": 2}}})"));
}

TEST(ValidateFilterTest, MessageTable) {
  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      {"5", "The filters argument must be a JSON object."},
      {"[1]", "The filters argument must be a JSON object."},
      {R"({"a": 1, "b": 2})", "The filters argument must contain exactly one top-level filter."},
      {R"({"$eq": 1})", "The top-level filter must be one of: $and, $or, $nor, $not."},
      {R"({"$AND": []})", "The top-level filter must be one of: $and, $or, $nor, $not."},
      {R"({"price": {}})",
       "Invalid query: Operator `$eq` cannot have an empty object or null as a value."},
      {R"({"price": null})",
       "Invalid query: Operator `$eq` cannot have an empty object or null as a value."},
      {R"({"price": {"$in": {}}})",
       "Invalid query: Operator `$in` cannot have an empty object or null as a value."},
      {R"({"price": {"$gt": 5, "$lt": 10}})",
       "A single field can only have one condition. Found multiple conditions for field: price"},
      {R"({"price": {"$gt": 5, "limit": 2}})",
       "A single field can only have one condition. Found multiple conditions for field: price"},
      {R"({"price": {"$between": [1, 2]}})", "Unsupported operator: $between for field: price"},
      {R"({"price": {"$EQ": 1}})", "Unsupported operator: $EQ for field: price"},
  };
  for (const Case& c : cases) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(ParseError(c.text), c.message) << c.text;
    EXPECT_THAT(testing::internal::GetCapturedStderr(),
                HasSubstr(std::string("[ERROR] ") + c.message));
  }
  testing::internal::CaptureStderr();
  try {
    ValidateFilter(json::parse(R"({"price": 5})"));
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "The field condition must be a JSON object.");
  }
  testing::internal::GetCapturedStderr();
}

TEST(ValidateFilterTest, AcceptsFalsyOperandsAndUnexaminedLogicalOperands) {
  for (const char* text :
       {R"({"price": {"$in": []}})", R"({"flag": {"$exists": false}})", R"({"n": {"$eq": 0}})",
        R"({"s": {"$eq": ""}})", R"({"$and": [{"a": 1}, {"b": {"$foo": 2}}, 7]})",
        R"({"$not": {"a": 1}})", R"({"a.b": {"$regex": "^x"}})"}) {
    EXPECT_NO_THROW(ParseFilters(text)) << text;
  }
}

TEST(FilterOperatorsTest, NamesAreExactAndCaseSensitive) {
  for (std::string_view op : kFilterOperators) EXPECT_TRUE(IsFilterOperator(op));
  EXPECT_FALSE(IsFilterOperator("$EQ"));
  EXPECT_FALSE(IsFilterOperator("$and"));
  EXPECT_TRUE(IsLogicalOperator("$nor"));
  EXPECT_FALSE(IsLogicalOperator("$in"));
}

}  // namespace
}  // namespace nivora
