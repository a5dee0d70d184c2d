#include "filters/metadata_summary.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "centroid_metadata_generated.h"
#include "filters/centroid_filter.h"
#include "filters/filter_language.h"
#include "filters/item_filter.h"
#include "filters/summary_format.h"

namespace nivora {
namespace {

using json = nlohmann::json;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;
using Buffer = std::vector<uint8_t>;

struct Batch {
  std::set<std::string> names;
  FieldSummaryLists lists;

  void Add(const std::string& text, uint32_t centroid) {
    SummarizeMetadataDocument(json::parse(text), names, centroid, lists, "");
  }
  std::vector<std::string> name_list() const { return {names.begin(), names.end()}; }
  // Merges into the given stored buffers (empty ones when none given).
  std::vector<Buffer> Merge(std::vector<Buffer> stored = {}) const {
    stored.resize(names.size());
    return MergeCentroidSummaries(name_list(), stored, lists);
  }
};

// Whether the field is present in the stored bytes (tables hide their base).
bool Stored(const fb::CentroidSummaryTable* entry, flatbuffers::voffset_t field) {
  return reinterpret_cast<const flatbuffers::Table*>(entry)->CheckField(field);
}

const fb::CentroidMetadataTable* Root(const Buffer& buffer) {
  return VerifiedCentroidMetadataTable(buffer, "test");
}

TEST(SummarizeTest, NestedDocumentGivesOneSummaryPerFieldOccurrence) {
  Batch batch;
  batch.Add(R"({"p": 5, "t": ["x", 3], "s": {"w": "hi"}})", 7);
  EXPECT_THAT(batch.name_list(), ElementsAre("p", "s", "s.w", "t"));

  const CentroidSummary& p = batch.lists.at("p").at(0);
  EXPECT_EQ(p.centroid_id, 7u);
  EXPECT_EQ(p.min, 5);
  EXPECT_EQ(p.max, 5);
  EXPECT_THAT(p.value_hashes, IsEmpty());

  const CentroidSummary& t = batch.lists.at("t").at(0);
  EXPECT_THAT(t.value_hashes, ElementsAre(HashText(R"(["x",3])"), HashText("x")));
  EXPECT_EQ(t.min, 3);
  EXPECT_EQ(t.max, 3);

  const CentroidSummary& s = batch.lists.at("s").at(0);
  EXPECT_TRUE(s.has_empty_range());
  EXPECT_THAT(s.value_hashes, IsEmpty());

  const CentroidSummary& w = batch.lists.at("s.w").at(0);
  EXPECT_TRUE(w.has_full_range());
  EXPECT_THAT(w.value_hashes, ElementsAre(HashText("hi")));
  EXPECT_EQ(HashText("hi"), 0xD8932AACu);  // zlib CRC-32
  EXPECT_EQ(HashBoolean(true), HashText("true"));
}

TEST(SummarizeTest, ArraysBooleansAndTopLevelShapes) {
  Batch batch;
  batch.Add(R"([{"a": true}, [{"b": null}], 5, "x"])", 1);  // top-level array: each object
  batch.Add(R"({"l": [{"k": 1}, [{"k": 2}], [], null, false, 2.5, -1]})", 2);
  EXPECT_THAT(batch.name_list(), ElementsAre("a", "b", "l", "l.k"));
  EXPECT_THAT(batch.lists.at("a")[0].value_hashes, ElementsAre(HashBoolean(true)));
  const CentroidSummary& l = batch.lists.at("l")[0];
  EXPECT_EQ(l.min, -1);
  EXPECT_EQ(l.max, 2.5);
  EXPECT_THAT(l.value_hashes,
              ElementsAre(HashText(R"([{"k":1},[{"k":2}],[],null,false,2.5,-1])"),
                          HashBoolean(false)));
  EXPECT_EQ(batch.lists.at("l.k").size(), 2u);  // objects in arrays, nested ones too

  Batch scalars;
  for (const char* text : {"5", "\"s\"", "true", "null", "[]", "[1, 2]"}) scalars.Add(text, 0);
  EXPECT_THAT(scalars.names, IsEmpty());
}

TEST(SummarizeTest, NumbersAtTheSentinelsAreNotMistakenForAString) {
  Batch batch;
  batch.Add(R"({"n": [-9876543211, 9876543211]})", 4);
  const CentroidSummary& n = batch.lists.at("n")[0];
  EXPECT_FALSE(n.has_full_range());
  EXPECT_LT(n.min, kFullRangeMin);
  const CentroidSummaryMap stored = ReadCentroidMetadataTable(Root(batch.Merge()[0]));
  EXPECT_LE(stored.at(4).min, -9876543211.0);
  EXPECT_GE(stored.at(4).max, 9876543211.0);
}

TEST(SummarizeTest, EmptyKeysExtendThePathLikeAnyOther) {
  // {"": {"b": 1}} is reached by the filter path ".b", so that is its name.
  Batch batch;
  batch.Add(R"({"": {"b": 1}})", 3);
  batch.Add(R"([{"": {"b": 2}}])", 3);
  EXPECT_THAT(batch.name_list(), ElementsAre("", ".b"));
  EXPECT_EQ(batch.lists.at(".b").size(), 2u);

  const FilterContext items = ParseMetadataDocuments({R"({"": {"b": 1}})"});
  const json filter = ParseFilters(R"({".b": 1})");
  ASSERT_THAT(EvaluateFilter(items, filter, true), ElementsAre(0));
  const std::vector<Buffer> merged = batch.Merge();  // in name order: "", ".b"
  ASSERT_THAT(GetFilterFieldNames(filter), ElementsAre(".b"));
  const FilterContext summaries(ReadCentroidMetadataBuffers({".b"}, {merged[1]}), {3});
  EXPECT_THAT(EvaluateCentroidFilter(summaries, filter, true), ElementsAre(3u));
}

TEST(SummarizeTest, RefusesDeepValuesWithTheWalkerMessage) {
  json deep = json::array();
  for (int i = 0; i < 70; ++i) deep = json{{"k", deep}};
  // Far deeper than the stack could serialise: refused before it is walked.
  json very_deep = json::array();
  for (int i = 0; i < 200000; ++i) {
    json outer = json::array();
    outer.push_back(std::move(very_deep));
    very_deep = std::move(outer);
  }
  const json documents[] = {deep, json{{"a", std::move(very_deep)}}};
  for (const json& document : documents) {
    std::set<std::string> names;
    FieldSummaryLists lists;
    testing::internal::CaptureStderr();
    try {
      SummarizeMetadataDocument(document, names, 0, lists, "");
      ADD_FAILURE();
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(),
                   "Error while retrieving keys and metadata centroid map: nesting deeper than 64 "
                   "levels");
    }
    EXPECT_THAT(testing::internal::GetCapturedStderr(),
                HasSubstr("[CRITICAL] Error while retrieving keys and metadata centroid map: "));
    EXPECT_THAT(names, IsEmpty());
  }
}

TEST(SummaryFormatTest, StoredBytesOmitDefaultsAndSortHashes) {
  Batch batch;
  batch.Add(R"({"p": 5, "t": ["x", 3], "s": {"w": "hi"}})", 7);
  batch.Add(R"({"t": ["b", "x", "a"], "c": "red"})", 7);
  batch.Add(R"({"c": "blue", "z": -9876543211, "zz": 9876543211})", 0);
  const std::vector<std::string> names = batch.name_list();
  ASSERT_THAT(names, ElementsAre("c", "p", "s", "s.w", "t", "z", "zz"));
  const std::vector<Buffer> buffers = batch.Merge();

  auto entries = [&](const std::string& name) {
    const size_t i = std::find(names.begin(), names.end(), name) - names.begin();
    const fb::CentroidMetadataTable* root = Root(buffers[i]);
    EXPECT_NE(root->entries(), nullptr);
    return root->entries();
  };
  using T = fb::CentroidSummaryTable;

  // "c": centroids 0 and 7, ascending; centroid 0 stores no id; strings
  // leave the range empty, which is stored explicitly.
  const auto* c = entries("c");
  ASSERT_EQ(c->size(), 2u);
  EXPECT_FALSE(Stored(c->Get(0), T::VT_CENTROID_ID));
  EXPECT_EQ(c->Get(1)->centroid_id(), 7u);
  EXPECT_TRUE(Stored(c->Get(1), T::VT_MIN));
  EXPECT_EQ(c->Get(1)->min(), kEmptyRangeMin);
  EXPECT_EQ(c->Get(1)->max(), kEmptyRangeMax);

  // "t": hashes of both items, sorted and without the repeated "x".
  const auto* t = entries("t")->Get(0);
  std::vector<uint32_t> want = {HashText(R"(["x",3])"), HashText("x"),
                                HashText(R"(["b","x","a"])"), HashText("b"), HashText("a")};
  std::sort(want.begin(), want.end());
  EXPECT_EQ(std::vector<uint32_t>(t->value_hashes()->begin(), t->value_hashes()->end()), want);
  EXPECT_EQ(t->min(), 3);

  // Numbers equal to a default are omitted and read back the same.
  const auto* z = entries("z")->Get(0);
  EXPECT_FALSE(Stored(z, T::VT_MIN));
  EXPECT_TRUE(Stored(z, T::VT_MAX));
  const auto* zz = entries("zz")->Get(0);
  EXPECT_TRUE(Stored(zz, T::VT_MIN));
  EXPECT_FALSE(Stored(zz, T::VT_MAX));
  EXPECT_EQ(zz->max(), 9876543211.0);

  // value_hashes is written even when empty.
  const auto* p = entries("p")->Get(0);
  EXPECT_TRUE(Stored(p, T::VT_VALUE_HASHES));
  EXPECT_EQ(p->value_hashes()->size(), 0u);
}

// A stored buffer in a non-canonical byte form (defaults written), so that
// passing it on unchanged can be told from serialising it again.
Buffer HandWritten(uint32_t centroid, double min, double max, std::vector<uint32_t> hashes) {
  flatbuffers::FlatBufferBuilder builder;
  builder.ForceDefaults(true);
  auto entry = fb::CreateCentroidSummaryTable(builder, centroid, min, max,
                                              builder.CreateVector(hashes));
  builder.Finish(fb::CreateCentroidMetadataTable(builder, builder.CreateVector(&entry, 1)));
  return {builder.GetBufferPointer(), builder.GetBufferPointer() + builder.GetSize()};
}

TEST(MergeTest, CoveredSummariesKeepTheStoredBuffer) {
  const Buffer stored = HandWritten(3, 1, 10, {HashText("a"), HashText("b")});
  Batch grows;
  grows.Add(R"({"f": 5})", 3);
  grows.Add(R"({"f": [1, "a", 10]})", 3);  // the array's own hash is new
  Batch inside;
  inside.Add(R"({"f": 5})", 3);
  inside.Add(R"({"f": {}})", 3);  // empty range: only presence
  EXPECT_EQ(inside.Merge({stored})[0], stored);

  const Buffer grown = grows.Merge({stored})[0];
  EXPECT_NE(grown, stored);
  const CentroidSummaryMap merged = ReadCentroidMetadataTable(Root(grown));
  EXPECT_EQ(merged.at(3).min, 1);
  EXPECT_EQ(merged.at(3).max, 10);
  EXPECT_EQ(merged.at(3).value_hashes.size(), 3u);

  struct Case {
    const char* text;
    uint32_t centroid;
  } uncovered[] = {{R"({"f": 11})", 3}, {R"({"f": "c"})", 3}, {R"({"f": 5})", 4}};
  for (const Case& c : uncovered) {
    Batch fresh;
    fresh.Add(c.text, c.centroid);
    EXPECT_NE(fresh.Merge({stored})[0], stored) << c.text;
  }
}

TEST(MergeTest, FoldingWidensRangesAndRewritesRepeatedStrings) {
  Batch first;
  first.Add(R"({"f": 5, "c": "red"})", 2);
  const std::vector<Buffer> stored = first.Merge();

  Batch second;
  second.Add(R"({"f": -2.5, "c": "red"})", 2);
  second.Add(R"({"f": 8})", 9);
  const std::vector<Buffer> merged = second.Merge(stored);
  // "c" only repeats a stored string, yet its full range fails the covered
  // test: rewritten with the same content.
  EXPECT_EQ(merged[0], stored[0]);
  const CentroidSummaryMap f = ReadCentroidMetadataTable(Root(merged[1]));
  ASSERT_EQ(f.size(), 2u);
  EXPECT_EQ(f.at(2).min, -2.5);
  EXPECT_EQ(f.at(2).max, 5);
  EXPECT_EQ(f.at(9).min, 8);
  EXPECT_TRUE(ReadCentroidMetadataTable(Root(merged[0])).at(2).has_empty_range());

  EXPECT_THROW(MergeCentroidSummaries({"a"}, {}, {}), std::invalid_argument);
  EXPECT_THROW(MergeCentroidSummaries({"a"}, {Buffer{1, 2, 3}}, second.lists), std::runtime_error);
}

// A mixed batch folded into mixed stored buffers: several centroids per
// field, numbers, strings, booleans and arrays, repeated and new hashes, a
// covered field and a stored buffer whose hashes the batch extends. The
// expected bytes were taken from the summary-at-a-time merge this one
// replaced; stored buffers must not change form.
FieldSummaryLists MixedFixture(uint32_t seed) {
  FieldSummaryLists lists;
  uint32_t state = seed;
  const auto next = [&state] {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
  };
  const auto summary = [](uint32_t centroid, double min, double max, std::vector<uint32_t> h) {
    CentroidSummary s;
    s.centroid_id = centroid;
    s.min = min;
    s.max = max;
    s.value_hashes = std::move(h);
    return s;
  };
  for (int i = 0; i < 400; ++i) {
    const uint32_t centroid = next() % 7;
    switch (next() % 4) {
      case 0: {
        const double v = static_cast<double>(next() % 1000) - 500.0;
        lists["n"].push_back(summary(centroid, v, v, {}));
        break;
      }
      case 1:
        lists["n"].push_back(summary(centroid, kFullRangeMin, kFullRangeMax, {next() % 50}));
        break;
      case 2:
        lists["s"].push_back(summary(centroid, kEmptyRangeMin, kEmptyRangeMax,
                                     {next() % 64, next() % 64, next() % 64}));
        break;
      default:
        lists["s"].push_back(summary(centroid, kFullRangeMin, kFullRangeMax, {next()}));
        break;
    }
  }
  for (uint32_t i = 0; i < 3000; ++i) {
    lists["many"].push_back(summary(3, kFullRangeMin, kFullRangeMax, {next()}));
  }
  return lists;
}

uint32_t Crc(const std::vector<Buffer>& buffers) {
  uint32_t crc = 0;
  for (const Buffer& b : buffers) {
    crc = HashText(std::string(b.begin(), b.end()) + std::to_string(b.size()) + "|") ^
          (crc * 31u);
  }
  return crc;
}

TEST(MergeTest, StoredBytesMatchTheFormerMergeOnAMixedFixture) {
  const std::vector<std::string> names = {"covered", "many", "n", "s"};
  const FieldSummaryLists first = MixedFixture(1);
  FieldSummaryLists covered_lists = first;
  covered_lists["covered"] = first.at("s");
  const std::vector<Buffer> stored = MergeCentroidSummaries(names, {{}, {}, {}, {}}, covered_lists);
  EXPECT_EQ(Crc(stored), 2590974300u) << "fresh merge";

  FieldSummaryLists second = MixedFixture(2);
  second["covered"] = {first.at("s").begin(), first.at("s").begin() + 50};
  const std::vector<Buffer> merged = MergeCentroidSummaries(names, stored, second);
  EXPECT_EQ(merged[0], stored[0]) << "a covered field keeps its stored bytes";
  EXPECT_EQ(Crc(merged), 602722940u) << "merge into stored buffers";
}

// Many distinct strings in one list, first into an empty store and then,
// half of them repeated, into the stored buffer: the union is every hash
// once, ascending.
TEST(MergeTest, ManyDistinctStringsInOneListMergeWhole) {
  const auto strings = [](int from, int to) {
    std::vector<CentroidSummary> list;
    for (int i = from; i < to; ++i) {
      CentroidSummary s;
      s.centroid_id = 9;
      s.min = kFullRangeMin;
      s.max = kFullRangeMax;
      s.value_hashes = {HashText("name-" + std::to_string(i))};
      list.push_back(std::move(s));
    }
    return list;
  };
  const std::vector<std::string> names = {"name"};
  const std::vector<Buffer> first =
      MergeCentroidSummaries(names, {{}}, {{"name", strings(0, 100000)}});
  const std::vector<Buffer> second =
      MergeCentroidSummaries(names, first, {{"name", strings(50000, 150000)}});

  std::vector<uint32_t> expected;
  for (const auto& s : strings(0, 150000)) expected.push_back(s.value_hashes[0]);
  std::sort(expected.begin(), expected.end());
  expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
  const CentroidSummaryMap read = ReadCentroidMetadataTable(Root(second[0]));
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(read.at(9).value_hashes, expected);
  EXPECT_TRUE(read.at(9).has_empty_range());

  EXPECT_EQ(MergeCentroidSummaries(names, second, {{"name", strings(120000, 150000)}}), second)
      << "covered by the stored buffer: passed on unchanged";
}

TEST(ReadBuffersTest, EmptyDamagedAndDuplicateEntries) {
  Batch batch;
  batch.Add(R"({"a": 1})", 5);
  const Buffer a = batch.Merge()[0];

  testing::internal::CaptureStderr();
  const FieldSummaryMaps maps = ReadCentroidMetadataBuffers({"a", "b"}, {a, {}});
  EXPECT_THAT(testing::internal::GetCapturedStderr(),
              HasSubstr("Warning: Empty metadata buffer for field 'b'.\n"));
  ASSERT_EQ(maps.size(), 1u);
  EXPECT_EQ(maps.at("a").at(5).min, 1);

  testing::internal::CaptureStderr();
  try {
    ReadCentroidMetadataBuffers({"a"}, {Buffer(a.begin(), a.begin() + 6)});
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(),
                 "Error while converting buffer to map of centroid map: Corrupt centroid "
                 "metadata buffer for field 'a'");
  }
  EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr("[CRITICAL] Error while"));

  flatbuffers::FlatBufferBuilder builder;
  auto first = fb::CreateCentroidSummaryTable(builder, 1, 0, 1);
  auto second = fb::CreateCentroidSummaryTable(builder, 1, 2, 3);
  const flatbuffers::Offset<fb::CentroidSummaryTable> both[] = {first, second};
  builder.Finish(fb::CreateCentroidMetadataTable(builder, builder.CreateVector(both, 2)));
  const Buffer dup(builder.GetBufferPointer(), builder.GetBufferPointer() + builder.GetSize());
  const CentroidSummaryMap read = ReadCentroidMetadataTable(Root(dup));
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(read.at(1).min, 2);  // the later entry wins
  EXPECT_THAT(read.at(1).value_hashes, IsEmpty());

  flatbuffers::FlatBufferBuilder bare;
  bare.Finish(fb::CreateCentroidMetadataTable(bare));
  const Buffer no_entries(bare.GetBufferPointer(), bare.GetBufferPointer() + bare.GetSize());
  EXPECT_TRUE(ReadCentroidMetadataTable(Root(no_entries)).empty());
  EXPECT_TRUE(ReadCentroidMetadataTable(nullptr).empty());
}

}  // namespace
}  // namespace nivora
