// JsonValueSet: the elements of a "$in" / "$nin" operand, held for lookups
// in logarithmic time, so that long operands against long field arrays cost
// (n + m) log m instead of n x m comparisons. Membership is JsonEquals
// (json_text.h): 1 is found among [1.0], "a" only as "a".
//
// The set points into the operand, which must outlive it and stay
// unchanged. Immutable once built: lookups may run on many threads.
#ifndef NIVORA_FILTERS_JSON_VALUE_SET_H_
#define NIVORA_FILTERS_JSON_VALUE_SET_H_

#include <cstdint>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace nivora {

// A hash of value that agrees with JsonEquals: equal values hash alike
// (numbers by their value as a double, -0.0 as 0.0).
uint64_t JsonValueHash(const nlohmann::json& value);

class JsonValueSet {
 public:
  // The elements of operand by the operator's element rule (AnyElement).
  explicit JsonValueSet(const nlohmann::json& operand);

  // Whether some element JsonEquals value.
  bool Contains(const nlohmann::json& value) const;

 private:
  std::vector<std::pair<uint64_t, const nlohmann::json*>> entries_;  // by hash
};

}  // namespace nivora

#endif  // NIVORA_FILTERS_JSON_VALUE_SET_H_
