#include "filters/item_filter.h"

#include <algorithm>
#include <map>
#include <optional>
#include <regex>
#include <stdexcept>

#include "core/log_and_throw.h"
#include "core/logger.h"
#include "filters/bounded_regex.h"
#include "filters/filter_language.h"
#include "filters/filter_walk.h"
#include "filters/json_text.h"
#include "filters/json_value_set.h"

namespace nivora {
namespace {

using json = nlohmann::json;

[[noreturn]] void FailEvaluation(const std::string& message) {
  LogAndThrow<std::invalid_argument>(*GetLogger(), CRITICAL, message);
}

// Operands of "$in" / "$nin" with at least this many elements are looked up
// in a JsonValueSet once the comparisons a plain scan would make reach
// kSetComparisons; shorter ones are scanned.
constexpr size_t kSetElements = 16;
constexpr size_t kSetComparisons = 4096;

size_t ElementCount(const json& v) {
  return v.is_array() || v.is_object() ? v.size() : (v.is_null() ? 0 : 1);
}

// What one evaluation call builds from the filter once and reuses for every
// document: the $regex patterns, compiled on first use, and the sets of long
// $in / $nin operands. Keyed by the operand's address: the filter stays
// unchanged for the whole call.
class EvaluationCache {
 public:
  const BoundedRegex& Regex(const std::string& pattern) {
    auto it = regexes_.find(pattern);
    if (it != regexes_.end()) return it->second;
    try {
      return regexes_.emplace(pattern, BoundedRegex(pattern)).first->second;
    } catch (const std::regex_error& e) {
      FailEvaluation("Invalid regex pattern: " + pattern + "\nError: " + e.what());
    }
  }

  // The set of operand's elements once scanning it would cost more than
  // building it; null while a scan is cheaper.
  const JsonValueSet* OperandSet(const json& operand, size_t lookups) {
    const size_t elements = ElementCount(operand);
    if (elements < kSetElements) return nullptr;
    auto it = sets_.find(&operand);
    if (it != sets_.end()) return &it->second;
    size_t& scanned = scanned_[&operand];
    scanned += lookups * elements;
    if (scanned < kSetComparisons) return nullptr;
    return &sets_.try_emplace(&operand, operand).first->second;
  }

 private:
  std::map<std::string, BoundedRegex> regexes_;
  std::map<const json*, size_t> scanned_;
  std::map<const json*, JsonValueSet> sets_;
};

// pred holds for v itself or, when v is an array, for one of its elements:
// arrays are matched by element, never as a whole.
template <typename Pred>
bool ValueOrElement(const json& v, Pred pred) {
  if (!v.is_array()) return pred(v);
  return std::any_of(v.begin(), v.end(), pred);
}

bool EqualsOrHolds(const json& v, const json& x) {
  return ValueOrElement(v, [&x](const json& value) { return JsonEquals(value, x); });
}

bool InElements(const json& v, const json& x, EvaluationCache& cache) {
  if (const JsonValueSet* set = cache.OperandSet(x, ElementCount(v))) {
    return ValueOrElement(v, [set](const json& value) { return set->Contains(value); });
  }
  return ValueOrElement(v, [&x](const json& value) {
    return AnyElement(x, [&value](const json& e) { return JsonEquals(value, e); });
  });
}

template <typename Compare>
bool Ordered(const json& v, const json& x, Compare compare) {
  if (!x.is_number()) return false;
  const double bound = x.get<double>();
  return ValueOrElement(v, [&](const json& value) {
    return value.is_number() && compare(value.get<double>(), bound);
  });
}

bool HasType(const json& v, const json& operand) {
  const auto name = operand.get<std::string>();
  if (name == "string") return v.is_string();
  if (name == "number") return v.is_number();
  if (name == "boolean") return v.is_boolean();
  if (name == "array") return v.is_array();
  if (name == "object") return v.is_object();
  FailEvaluation("Unsupported type in $type operator: " + name);
}

bool Operator(const std::string& op, const json& v, const json& x, EvaluationCache& cache) {
  if (op == "$eq") return EqualsOrHolds(v, x);
  if (op == "$ne") return !EqualsOrHolds(v, x);
  if (op == "$gt") return Ordered(v, x, [](double a, double b) { return a > b; });
  if (op == "$gte") return Ordered(v, x, [](double a, double b) { return a >= b; });
  if (op == "$lt") return Ordered(v, x, [](double a, double b) { return a < b; });
  if (op == "$lte") return Ordered(v, x, [](double a, double b) { return a <= b; });
  if (op == "$in") return InElements(v, x, cache);
  if (op == "$nin") return !InElements(v, x, cache);
  if (op == "$exists") return x.get<bool>();
  if (op == "$type") return HasType(v, x);
  if (op == "$regex") {
    if (!v.is_string()) return false;
    return cache.Regex(x.get<std::string>()).Search(v.get_ref<const std::string&>());
  }
  FailEvaluation("Unsupported operator: " + op);
}

// Field clauses against one document.
struct ItemFieldTest {
  const json& document;
  EvaluationCache& cache;

  bool operator()(const std::string& field, const json& condition) {
    const json* value = ResolveField(document, field);
    if (!condition.is_object()) {
      // Only reachable through an object operand of a logical operator.
      static const json kNull;
      if (!JsonEquals(value != nullptr ? *value : kNull, condition)) return false;
      ThrowNotAFilter();
    }
    if (value == nullptr) return AbsentFieldMatches(condition);
    for (auto it = condition.begin(); it != condition.end(); ++it) {
      if (!Operator(it.key(), *value, it.value(), cache)) return false;
    }
    return true;
  }
};

bool Matches(const json& filter, const json& document, EvaluationCache& cache) {
  ItemFieldTest test{document, cache};
  return WalkFilter(filter, test, Negation::kExact);
}

}  // namespace

const json* ResolveField(const json& document, const std::string& path) {
  const json* current = &document;
  size_t start = 0;
  for (;;) {
    if (!current->is_object()) return nullptr;
    const size_t dot = path.find('.', start);
    const size_t end = dot == std::string::npos ? path.size() : dot;
    const auto member = current->find(path.substr(start, end - start));
    if (member == current->end()) return nullptr;
    if (dot == std::string::npos) return member->is_null() ? nullptr : &*member;
    current = &*member;
    start = dot + 1;
  }
}

FilterContext ParseMetadataDocuments(const std::vector<std::string>& metadata) {
  FilterContext context;
  context.documents.reserve(metadata.size());
  for (const std::string& text : metadata) {
    if (text.empty()) {
      context.documents.emplace_back(json::object());
      continue;
    }
    std::string error;
    std::optional<json> document = ParseJsonText(text, &error);
    if (!document) FailEvaluation("Invalid JSON string provided: " + error);
    context.documents.push_back(std::move(*document));
  }
  return context;
}

std::vector<int> EvaluateFilter(const FilterContext& context, const json& filter, bool validate) {
  if (validate) ValidateFilter(filter);
  EvaluationCache cache;
  std::vector<int> matches;
  for (size_t i = 0; i < context.documents.size(); ++i) {
    if (Matches(filter, context.documents[i], cache)) matches.push_back(static_cast<int>(i));
  }
  return matches;
}

bool MatchesFilter(const json& filter, const json& document) {
  EvaluationCache cache;
  return Matches(filter, document, cache);
}

bool EvaluateOperator(const std::string& op, const json& field_value, const json& operand) {
  EvaluationCache cache;
  return Operator(op, field_value, operand, cache);
}

}  // namespace nivora
