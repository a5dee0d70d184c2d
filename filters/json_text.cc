#include "filters/json_text.h"

#include <cstdint>
#include <exception>
#include <utility>
#include <vector>

namespace nivora {
namespace {

using json = nlohmann::json;

struct TooDeep : std::exception {
  const char* what() const noexcept override { return kJsonTooDeepError.data(); }
};

bool IntegersEqual(const json& a, const json& b) {
  if (a.is_number_unsigned() == b.is_number_unsigned()) {
    return a.is_number_unsigned() ? a.get<uint64_t>() == b.get<uint64_t>()
                                  : a.get<int64_t>() == b.get<int64_t>();
  }
  const json& s = a.is_number_unsigned() ? b : a;  // the signed one
  const json& u = a.is_number_unsigned() ? a : b;
  const int64_t sv = s.get<int64_t>();
  return sv >= 0 && static_cast<uint64_t>(sv) == u.get<uint64_t>();
}

bool NumbersEqual(const json& a, const json& b) {
  if (a.is_number_float() || b.is_number_float()) return a.get<double>() == b.get<double>();
  return IntegersEqual(a, b);
}

}  // namespace

std::optional<json> ParseJsonText(const std::string& text, std::string* error) {
  // The callback sees the depth of a container before it is entered: 0 for
  // the outermost, so depth 64 would be the 65th level.
  auto refuse_deep = [](int depth, json::parse_event_t event, json&) {
    if ((event == json::parse_event_t::object_start ||
         event == json::parse_event_t::array_start) &&
        depth >= kMaxJsonDepth) {
      throw TooDeep();
    }
    return true;
  };
  try {
    return json::parse(text, refuse_deep, /*allow_exceptions=*/true, /*ignore_comments=*/false);
  } catch (const json::exception& e) {
    *error = e.what();
  } catch (const TooDeep& e) {
    *error = e.what();
  }
  return std::nullopt;
}

bool NestedDeeperThan(const json& value, int max_depth) {
  std::vector<std::pair<const json*, int>> pending{{&value, 1}};
  while (!pending.empty()) {
    const auto [node, level] = pending.back();
    pending.pop_back();
    if (!node->is_array() && !node->is_object()) continue;
    if (level > max_depth) return true;
    for (const json& child : *node) pending.emplace_back(&child, level + 1);
  }
  return false;
}

bool JsonEquals(const json& a, const json& b) {
  if (a.is_number() && b.is_number()) return NumbersEqual(a, b);
  if (a.type() != b.type()) return false;
  if (a.is_array()) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
      if (!JsonEquals(a[i], b[i])) return false;
    }
    return true;
  }
  if (a.is_object()) {
    if (a.size() != b.size()) return false;
    for (auto it = a.begin(); it != a.end(); ++it) {
      auto other = b.find(it.key());
      if (other == b.end() || !JsonEquals(it.value(), *other)) return false;
    }
    return true;
  }
  return a == b;
}

}  // namespace nivora
