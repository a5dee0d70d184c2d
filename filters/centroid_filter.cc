#include "filters/centroid_filter.h"

#include <algorithm>

#include "filters/filter_language.h"
#include "filters/filter_walk.h"
#include "filters/json_text.h"
#include "filters/metadata_summary.h"

namespace nivora {
namespace {

using json = nlohmann::json;

// The hashes of one summary, searched linearly for a single value and
// through a sorted copy when a long "$in" operand asks for many.
class HashLookup {
 public:
  HashLookup(const std::vector<uint32_t>& hashes, size_t lookups) : hashes_(hashes) {
    if (lookups < 16 || hashes.size() < 16) return;
    if (std::is_sorted(hashes.begin(), hashes.end())) {
      sorted_ = &hashes;
      return;
    }
    copy_ = hashes;
    std::sort(copy_.begin(), copy_.end());
    sorted_ = &copy_;
  }

  bool Contains(uint32_t h) const {
    if (sorted_ != nullptr) return std::binary_search(sorted_->begin(), sorted_->end(), h);
    return std::find(hashes_.begin(), hashes_.end(), h) != hashes_.end();
  }

 private:
  const std::vector<uint32_t>& hashes_;
  const std::vector<uint32_t>* sorted_ = nullptr;
  std::vector<uint32_t> copy_;
};

uint32_t HashOf(const json& x) {
  return x.is_boolean() ? HashBoolean(x.get<bool>()) : HashText(x.get_ref<const std::string&>());
}

// Whether some value the summary stands for may equal x.
bool MayEqual(const CentroidSummary& s, const HashLookup& hashes, const json& x) {
  if (x.is_number()) {
    const double d = x.get<double>();
    return s.min <= d && d <= s.max;
  }
  if (x.is_string() || x.is_boolean()) return hashes.Contains(HashOf(x));
  return true;  // null, arrays and objects leave no trace in a summary
}

bool OperatorMayHold(const std::string& op, const json& x, const CentroidSummary& s) {
  if (op == "$eq") return MayEqual(s, HashLookup(s.value_hashes, 1), x);
  if (op == "$in") {
    if (!x.is_array()) return true;  // judged exactly on the items
    const HashLookup hashes(s.value_hashes, x.size());
    return std::any_of(x.begin(), x.end(),
                       [&](const json& e) { return MayEqual(s, hashes, e); });
  }
  if (!x.is_number()) return true;
  const double d = x.get<double>();
  if (op == "$gt") return s.max > d;
  if (op == "$gte") return s.max >= d;
  if (op == "$lt") return s.min < d;
  if (op == "$lte") return s.min <= d;
  return true;
}

// Field clauses against the summaries of one centroid.
struct SummaryFieldTest {
  const FilterContext& context;
  uint32_t centroid_id;

  bool operator()(const std::string& field, const json& condition) const {
    if (!condition.is_object()) return false;
    if (IsOperatorName(field)) return true;
    if (AbsentFieldMatches(condition)) return true;
    const CentroidSummary* s = Find(field);
    if (s == nullptr) return false;
    for (auto it = condition.begin(); it != condition.end(); ++it) {
      if (!OperatorMayHold(it.key(), it.value(), *s)) return false;
    }
    return true;
  }

  const CentroidSummary* Find(const std::string& field) const {
    const auto by_field = context.summaries.find(field);
    if (by_field == context.summaries.end()) return nullptr;
    const auto by_centroid = by_field->second.find(centroid_id);
    return by_centroid == by_field->second.end() ? nullptr : &by_centroid->second;
  }
};

}  // namespace

void CollectFilterFieldNames(const json& node, std::set<std::string>& names,
                             const std::string& prefix) {
  if (node.is_array()) {
    for (const auto& element : node) CollectFilterFieldNames(element, names, prefix);
    return;
  }
  if (!node.is_object()) return;
  for (auto it = node.begin(); it != node.end(); ++it) {
    const std::string& name = it.key();
    if (name == "$and" || name == "$or") {
      AnyElement(it.value(), [&](const json& element) {
        CollectFilterFieldNames(element, names, prefix);
        return false;
      });
    } else if (!IsOperatorName(name)) {
      const std::string field = prefix.empty() ? name : prefix + "." + name;
      names.insert(field);
      CollectFilterFieldNames(it.value(), names, field);
    }
  }
}

std::vector<std::string> GetFilterFieldNames(const json& filter) {
  std::set<std::string> names;
  CollectFilterFieldNames(filter, names, "");
  return {names.begin(), names.end()};
}

bool CentroidMayMatch(const FilterContext& context, const json& filter, uint32_t centroid_id) {
  const SummaryFieldTest test{context, centroid_id};
  return WalkFilter(filter, test, Negation::kPass);
}

std::vector<uint32_t> EvaluateCentroidFilter(const FilterContext& context, const json& filter,
                                             bool validate) {
  if (validate) ValidateFilter(filter);
  std::vector<uint32_t> matches;
  for (uint32_t id : context.centroid_ids) {
    if (CentroidMayMatch(context, filter, id)) matches.push_back(id);
  }
  return matches;
}

}  // namespace nivora
