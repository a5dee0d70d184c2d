// Pre-filtering may keep centroids without a match but must never drop one
// that holds an item the exact evaluator matches. Random documents spread
// over a few centroids are summarised, merged in two batches, stored and read
// back through the FlatBuffers format; random filters are then judged both
// ways.
#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "filters/centroid_filter.h"
#include "filters/filter_language.h"
#include "filters/item_filter.h"
#include "filters/metadata_summary.h"
#include "filters/summary_format.h"

namespace nivora {
namespace {

using json = nlohmann::json;
using Buffer = std::vector<uint8_t>;

constexpr uint32_t kCentroids = 8;  // the last two never receive an item

class RandomJson {
 public:
  explicit RandomJson(uint32_t seed) : rng_(seed) {}

  size_t Pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
  bool Chance(int percent) { return Pick(100) < static_cast<size_t>(percent); }
  template <typename T>
  const T& OneOf(const std::vector<T>& options) { return options[Pick(options.size())]; }

  json Scalar() {
    static const std::vector<json> kScalars = {
        "red", "blue", "green", "true", "", true, false, -1, 0, 1, 2, 5, 2.5, -0.5, 1e300,
        json(9876543211LL), json(-9876543211LL), json(18446744073709551615ULL)};
    return OneOf(kScalars);
  }

  // Any value; containers shrink with depth.
  json Value(int depth) {
    const size_t kind = depth > 2 ? 0 : Pick(10);
    if (kind < 6) return Scalar();
    if (kind == 6) return nullptr;
    if (kind < 9) {
      json array = json::array();
      for (size_t n = Pick(4); n > 0; --n) array.push_back(Value(depth + 1));
      return array;
    }
    json object = json::object();
    for (size_t n = Pick(3); n > 0; --n) object[OneOf<std::string>({"x", "y"})] = Value(depth + 1);
    return object;
  }

  std::string Document() {
    const size_t shape = Pick(20);
    if (shape == 0) return "";
    if (shape == 1) return OneOf<std::string>({"null", "5", "\"s\"", "[1, 2]"});
    if (shape == 2) return json::array({ObjectDocument(), ObjectDocument()}).dump();
    return ObjectDocument().dump();
  }

  json ObjectDocument() {
    json doc = json::object();
    for (const char* key : {"a", "b", "c", "n", "t"}) {
      if (Chance(30)) continue;  // missing field
      doc[key] = Value(0);
    }
    if (Chance(50)) doc["n"] = Value(1).is_object() ? Value(1) : json{{"x", Scalar()}};
    return doc;
  }

  json Filter(int depth) {
    if (depth < 3 && Chance(35)) {
      const std::string op = OneOf<std::string>({"$and", "$or", "$nor", "$not"});
      if (op == "$not") return {{op, Filter(depth + 1)}};
      json elements = json::array();
      for (size_t n = Pick(4); n > 0; --n) elements.push_back(Filter(depth + 1));
      return {{op, elements}};
    }
    const std::string field =
        OneOf<std::string>({"a", "b", "c", "n", "n.x", "n.y", "t", "t.x", "zz"});
    json condition = Condition();
    if (depth > 0 && Chance(15)) {
      // A second operator; only nested clauses may carry several.
      const json more = Condition();
      if (IsOperatorObject(condition) && IsOperatorObject(more)) condition.update(more);
    }
    return {{field, condition}};
  }

  json Condition() {
    const std::string op = OneOf<std::string>({"$eq", "$ne", "$gt", "$gte", "$lt", "$lte",
                                               "$in", "$nin", "$exists", "$regex", "$type",
                                               "shorthand"});
    if (op == "shorthand") return NonNull();
    if (op == "$eq" || op == "$ne") return {{op, NonNull()}};
    if (op == "$exists") return {{op, Chance(50)}};
    if (op == "$regex") return {{op, OneOf<std::string>({"^r", "e", "^b.*e$", "[0-9]", "(re|bl)"})}};
    if (op == "$type") {
      return {{op, OneOf<std::string>({"string", "number", "boolean", "array", "object"})}};
    }
    if (op == "$in" || op == "$nin") {
      if (Chance(15)) return {{op, NonNull()}};
      json elements = json::array();
      for (size_t n = Pick(4); n > 0; --n) elements.push_back(Value(1));
      return {{op, elements}};
    }
    return {{op, Chance(85) ? Scalar() : json("5")}};  // range operators
  }

  static bool IsOperatorObject(const json& v) {
    return v.is_object() && !v.empty() && IsOperatorName(v.begin().key());
  }

  json NonNull() {
    json v = Value(0);
    return v.is_null() || (v.is_object() && v.empty()) ? Scalar() : v;
  }

 private:
  std::mt19937 rng_;
};

// Summaries of the documents, as pre-filtering would find them stored.
class StoredSummaries {
 public:
  void AddBatch(const std::vector<json>& documents, const std::vector<uint32_t>& centroids,
                size_t begin, size_t end) {
    std::set<std::string> names;
    FieldSummaryLists lists;
    for (size_t i = begin; i < end; ++i) {
      SummarizeMetadataDocument(documents[i], names, centroids[i], lists, "");
    }
    const std::vector<std::string> name_list(names.begin(), names.end());
    std::vector<Buffer> stored;
    for (const std::string& name : name_list) stored.push_back(buffers_[name]);
    const std::vector<Buffer> merged = MergeCentroidSummaries(name_list, stored, lists);
    for (size_t i = 0; i < name_list.size(); ++i) buffers_[name_list[i]] = merged[i];
  }

  // What pre-filtering loads for filter: only the fields it names.
  FilterContext Load(const json& filter) {
    const std::vector<std::string> names = GetFilterFieldNames(filter);
    std::vector<Buffer> buffers;
    for (const std::string& name : names) buffers.push_back(buffers_[name]);
    std::vector<uint32_t> all(kCentroids);
    for (uint32_t c = 0; c < kCentroids; ++c) all[c] = c;
    testing::internal::CaptureStderr();  // empty-buffer warnings
    FieldSummaryMaps summaries = ReadCentroidMetadataBuffers(names, buffers);
    testing::internal::GetCapturedStderr();
    return FilterContext(summaries, all);
  }

 private:
  std::map<std::string, Buffer> buffers_;
};

TEST(PreFilterSoundnessTest, NoCentroidHoldingAMatchIsDropped) {
  int filters = 0, with_matches = 0, with_pruning = 0;
  for (uint32_t seed = 1; seed <= 4; ++seed) {
    RandomJson random(seed);
    std::vector<std::string> texts;
    std::vector<uint32_t> centroids;
    for (int i = 0; i < 240; ++i) {
      texts.push_back(random.Document());
      centroids.push_back(static_cast<uint32_t>(random.Pick(kCentroids - 2)));
    }
    const FilterContext items = ParseMetadataDocuments(texts);
    StoredSummaries stored;
    stored.AddBatch(items.documents, centroids, 0, texts.size() / 2);
    stored.AddBatch(items.documents, centroids, texts.size() / 2, texts.size());

    for (int f = 0; f < 500; ++f) {
      const std::string text = random.Filter(0).dump();
      json filter;
      try {
        filter = ParseFilters(text);
      } catch (const std::invalid_argument&) {
        continue;  // e.g. an empty operand at the top level
      }
      ++filters;
      const std::vector<int> matched = EvaluateFilter(items, filter, true);
      const std::vector<uint32_t> kept = EvaluateCentroidFilter(stored.Load(filter), filter, true);
      const std::set<uint32_t> kept_set(kept.begin(), kept.end());
      for (int row : matched) {
        ASSERT_TRUE(kept_set.count(centroids[row]))
            << "seed " << seed << ": filter " << filter.dump() << " matches item " << row << " "
            << texts[row] << " of centroid " << centroids[row] << ", which was dropped";
      }
      with_matches += !matched.empty();
      with_pruning += kept.size() < kCentroids;
    }
  }
  // The run must exercise both sides: matches to protect, and pruning.
  EXPECT_GT(filters, 1800);
  EXPECT_GT(with_matches, filters / 5);
  EXPECT_GT(with_pruning, filters / 5);
}

}  // namespace
}  // namespace nivora
