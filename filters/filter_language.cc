#include "filters/filter_language.h"

#include <algorithm>
#include <stdexcept>

#include "core/log_and_throw.h"
#include "core/logger.h"
#include "filters/json_text.h"

namespace nivora {
namespace {

using json = nlohmann::json;

[[noreturn]] void FailValidation(const std::string& message) {
  LogAndThrow<std::invalid_argument>(*GetLogger(), ERROR, message);
}

bool HasOperatorMember(const json& value) {
  if (!value.is_object()) return false;
  return std::any_of(value.items().begin(), value.items().end(),
                     [](const auto& member) { return IsOperatorName(member.key()); });
}

}  // namespace

bool IsFilterOperator(std::string_view name) {
  return std::binary_search(kFilterOperators.begin(), kFilterOperators.end(), name);
}

bool IsLogicalOperator(std::string_view name) {
  return std::binary_search(kLogicalOperators.begin(), kLogicalOperators.end(), name);
}

bool IsEmptyFilter(const json& filter) {
  return filter.is_null() || ((filter.is_object() || filter.is_array()) && filter.empty());
}

json ParseFilters(const std::string& filters) {
  if (filters.empty()) return json::object();
  std::string error;
  std::optional<json> parsed = ParseJsonText(filters, &error);
  if (!parsed) throw std::invalid_argument("Invalid JSON format for filters: " + error);
  json filter = std::move(*parsed);
  if (IsEmptyFilter(filter)) return filter;
  NormalizeFilter(filter);
  ValidateFilter(filter);
  return filter;
}

void NormalizeFilter(json& filter) {
  if (!filter.is_object()) return;
  for (auto& [name, value] : filter.items()) {
    if (IsLogicalOperator(name)) {
      if (value.is_object()) {
        NormalizeFilter(value);
      } else if (value.is_array()) {
        for (auto& element : value) NormalizeFilter(element);
      }
    } else if (IsOperatorName(name)) {
      // A field operator's operand: compared as written, never rewritten.
    } else if (HasOperatorMember(value)) {
      NormalizeFilter(value);
    } else {
      value = json{{"$eq", std::move(value)}};
    }
  }
}

void ValidateFilter(const json& filter) {
  if (!filter.is_object()) FailValidation("The filters argument must be a JSON object.");
  if (filter.size() != 1) {
    FailValidation("The filters argument must contain exactly one top-level filter.");
  }
  const auto clause = filter.begin();
  const std::string& field = clause.key();
  if (IsOperatorName(field)) {
    if (IsLogicalOperator(field)) return;
    FailValidation("The top-level filter must be one of: $and, $or, $nor, $not.");
  }
  const json& condition = clause.value();
  if (!condition.is_object()) FailValidation("The field condition must be a JSON object.");
  if (condition.size() > 1) {
    FailValidation(
        "A single field can only have one condition. Found multiple conditions for field: " +
        field);
  }
  if (condition.empty()) return;
  const std::string& op = condition.begin().key();
  const json& operand = condition.begin().value();
  if (!IsFilterOperator(op)) {
    FailValidation("Unsupported operator: " + op + " for field: " + field);
  }
  if (operand.is_null() || (operand.is_object() && operand.empty())) {
    FailValidation("Invalid query: Operator `" + op +
                   "` cannot have an empty object or null as a value.");
  }
}

}  // namespace nivora
