#include "telemetry/error_description.h"

#include <optional>
#include <vector>

#include "telemetry/known_messages.h"
#include "telemetry/utf8_text.h"

namespace nivora::internal {
namespace {

constexpr std::string_view kRedacted = "<redacted>";
constexpr std::string_view kExceptionIn = "Exception in ";
constexpr std::string_view kUnknownExceptionIn = "Unknown exception in ";
constexpr std::string_view kAnyHole = "{}";
constexpr std::string_view kNumberHole = "{n}";

bool IsKnownOperation(std::string_view name) {
  for (std::string_view op : KnownOperations()) {
    if (op == name) return true;
  }
  return false;
}

// The length of a known "Exception in <operation>: " at the start of text,
// or 0.
size_t KnownPrefixLength(std::string_view text) {
  if (!text.starts_with(kExceptionIn)) return 0;
  const size_t colon = text.find(": ", kExceptionIn.size());
  if (colon == std::string_view::npos) return 0;
  const std::string_view op = text.substr(kExceptionIn.size(), colon - kExceptionIn.size());
  return IsKnownOperation(op) ? colon + 2 : 0;
}

bool IsDecimalInteger(std::string_view text) {
  if (text.starts_with('-')) text.remove_prefix(1);
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// A shape cut into its fixed texts and the holes between them.
struct Shape {
  std::vector<std::string_view> fixed;  // one more than holes
  std::vector<bool> number_hole;
};

Shape CutShape(std::string_view shape) {
  Shape out;
  for (;;) {
    const size_t hole = shape.find('{');
    const bool any = hole != std::string_view::npos && shape.substr(hole).starts_with(kAnyHole);
    const bool number =
        hole != std::string_view::npos && shape.substr(hole).starts_with(kNumberHole);
    if (!any && !number) {
      out.fixed.push_back(shape);
      return out;
    }
    out.fixed.push_back(shape.substr(0, hole));
    out.number_hole.push_back(number);
    shape.remove_prefix(hole + (number ? kNumberHole.size() : kAnyHole.size()));
  }
}

// text rendered by shape when text is, whole, an instance of it. The holes
// are found left to right, each ending at the first place its following
// fixed text occurs, the last one reaching the shape's fixed ending.
std::optional<std::string> Render(const Shape& shape, std::string_view text) {
  const std::string_view first = shape.fixed.front();
  const std::string_view last = shape.fixed.back();
  const size_t holes = shape.number_hole.size();
  if (holes == 0) return text == first ? std::optional<std::string>(text) : std::nullopt;
  if (text.size() < first.size() + last.size() || !text.starts_with(first) ||
      !text.ends_with(last)) {
    return std::nullopt;
  }
  const size_t end = text.size() - last.size();
  std::string out(first);
  size_t pos = first.size();
  for (size_t i = 0; i < holes; ++i) {
    size_t hole_end = end;
    if (i + 1 < holes) {
      hole_end = text.substr(0, end).find(shape.fixed[i + 1], pos);
      if (hole_end == std::string_view::npos) return std::nullopt;
    }
    const std::string_view hole = text.substr(pos, hole_end - pos);
    if (shape.number_hole[i]) {
      if (!IsDecimalInteger(hole)) return std::nullopt;
      out += hole;
    } else {
      out += kRedacted;
    }
    out += shape.fixed[i + 1];
    pos = hole_end + shape.fixed[i + 1].size();
  }
  return out;
}

std::optional<std::string> RenderKnown(std::string_view text) {
  if (text.starts_with(kUnknownExceptionIn) &&
      IsKnownOperation(text.substr(kUnknownExceptionIn.size()))) {
    return std::string(text);
  }
  for (std::string_view shape : KnownMessageShapes()) {
    if (std::optional<std::string> rendered = Render(CutShape(shape), text)) return rendered;
  }
  return std::nullopt;
}

}  // namespace

std::string RedactErrorMessage(std::string_view message) {
  size_t prefixes = 0;
  size_t outermost = 0;
  while (const size_t length = KnownPrefixLength(message.substr(prefixes))) {
    if (prefixes == 0) outermost = length;
    prefixes += length;
  }
  if (std::optional<std::string> known = RenderKnown(message.substr(prefixes))) {
    return std::string(message.substr(0, prefixes)) + *known;
  }
  return std::string(message.substr(0, outermost)) + std::string(kRedacted);
}

std::string MakeErrorDescription(std::string_view message) {
  return CutUtf8(ToValidUtf8(RedactErrorMessage(message)), kMaxErrorDescriptionBytes);
}

}  // namespace nivora::internal
