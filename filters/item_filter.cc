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

namespace nivora {
namespace {

using json = nlohmann::json;

[[noreturn]] void FailEvaluation(const std::string& message) {
  LogAndThrow<std::invalid_argument>(*GetLogger(), CRITICAL, message);
}

// The $regex patterns of one evaluation call, each compiled on first use.
class RegexCache {
 public:
  const BoundedRegex& Get(const std::string& pattern) {
    auto it = compiled_.find(pattern);
    if (it != compiled_.end()) return it->second;
    try {
      return compiled_.emplace(pattern, BoundedRegex(pattern)).first->second;
    } catch (const std::regex_error& e) {
      FailEvaluation("Invalid regex pattern: " + pattern + "\nError: " + e.what());
    }
  }

 private:
  std::map<std::string, BoundedRegex> compiled_;
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

bool InElements(const json& v, const json& x) {
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

bool Operator(const std::string& op, const json& v, const json& x, RegexCache& regexes) {
  if (op == "$eq") return EqualsOrHolds(v, x);
  if (op == "$ne") return !EqualsOrHolds(v, x);
  if (op == "$gt") return Ordered(v, x, [](double a, double b) { return a > b; });
  if (op == "$gte") return Ordered(v, x, [](double a, double b) { return a >= b; });
  if (op == "$lt") return Ordered(v, x, [](double a, double b) { return a < b; });
  if (op == "$lte") return Ordered(v, x, [](double a, double b) { return a <= b; });
  if (op == "$in") return InElements(v, x);
  if (op == "$nin") return !InElements(v, x);
  if (op == "$exists") return x.get<bool>();
  if (op == "$type") return HasType(v, x);
  if (op == "$regex") {
    if (!v.is_string()) return false;
    return regexes.Get(x.get<std::string>()).Search(v.get_ref<const std::string&>());
  }
  FailEvaluation("Unsupported operator: " + op);
}

// Field clauses against one document.
struct ItemFieldTest {
  const json& document;
  RegexCache& regexes;

  bool operator()(const std::string& field, const json& condition) {
    const json* value = ResolveField(document, field);
    if (!condition.is_object()) {
      // Only reachable through an object operand of a logical operator.
      static const json kNull;
      if (!JsonEquals(value != nullptr ? *value : kNull, condition)) return false;
      ThrowNotAFilter(condition);
    }
    if (value == nullptr) return AbsentFieldMatches(condition);
    for (auto it = condition.begin(); it != condition.end(); ++it) {
      if (!Operator(it.key(), *value, it.value(), regexes)) return false;
    }
    return true;
  }
};

bool Matches(const json& filter, const json& document, RegexCache& regexes) {
  ItemFieldTest test{document, regexes};
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
  RegexCache regexes;
  std::vector<int> matches;
  for (size_t i = 0; i < context.documents.size(); ++i) {
    if (Matches(filter, context.documents[i], regexes)) matches.push_back(static_cast<int>(i));
  }
  return matches;
}

bool MatchesFilter(const json& filter, const json& document) {
  RegexCache regexes;
  return Matches(filter, document, regexes);
}

bool EvaluateOperator(const std::string& op, const json& field_value, const json& operand) {
  RegexCache regexes;
  return Operator(op, field_value, operand, regexes);
}

}  // namespace nivora
