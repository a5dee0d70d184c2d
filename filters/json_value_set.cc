#include "filters/json_value_set.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <string_view>

#include "filters/json_text.h"

namespace nivora {
namespace {

using json = nlohmann::json;

// Below this depth containers hash by kind and size alone; equal values still
// hash alike, and the walk stays short whatever the nesting.
constexpr int kHashDepth = 4;

uint64_t Mix(uint64_t seed, uint64_t value) {
  value *= 0x9E3779B97F4A7C15ull;
  value ^= value >> 32;
  return (seed ^ value) * 0xBF58476D1CE4E5B9ull + 0x94D049BB133111EBull;
}

uint64_t Hash(const json& value, int depth) {
  switch (value.type()) {
    case json::value_t::number_integer:
    case json::value_t::number_unsigned:
    case json::value_t::number_float: {
      double d = value.get<double>();
      if (d == 0) d = 0;  // -0.0 equals 0.0
      uint64_t bits;
      static_assert(sizeof(bits) == sizeof(d));
      std::memcpy(&bits, &d, sizeof(d));
      return Mix(1, bits);
    }
    case json::value_t::string:
      return Mix(2, std::hash<std::string_view>()(value.get_ref<const std::string&>()));
    case json::value_t::boolean: return Mix(3, value.get<bool>() ? 1 : 0);
    case json::value_t::array:
    case json::value_t::object: {
      uint64_t h = Mix(value.is_array() ? 4 : 5, value.size());
      if (depth >= kHashDepth) return h;
      for (auto it = value.begin(); it != value.end(); ++it) {
        if (value.is_object()) h = Mix(h, std::hash<std::string_view>()(it.key()));
        h = Mix(h, Hash(it.value(), depth + 1));
      }
      return h;
    }
    default: return Mix(static_cast<uint64_t>(value.type()) + 6, 0);  // null, binary, discarded
  }
}

bool HashLess(const std::pair<uint64_t, const json*>& a, uint64_t b) { return a.first < b; }

}  // namespace

uint64_t JsonValueHash(const json& value) { return Hash(value, 0); }

JsonValueSet::JsonValueSet(const json& operand) {
  if (operand.is_array() || operand.is_object()) entries_.reserve(operand.size());
  AnyElement(operand, [this](const json& element) {
    entries_.emplace_back(JsonValueHash(element), &element);
    return false;
  });
  std::sort(entries_.begin(), entries_.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
}

bool JsonValueSet::Contains(const json& value) const {
  const uint64_t h = JsonValueHash(value);
  for (auto it = std::lower_bound(entries_.begin(), entries_.end(), h, HashLess);
       it != entries_.end() && it->first == h; ++it) {
    if (JsonEquals(value, *it->second)) return true;
  }
  return false;
}

}  // namespace nivora
