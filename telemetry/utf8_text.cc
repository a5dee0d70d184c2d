#include "telemetry/utf8_text.h"

namespace nivora::internal {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Length of the well-formed sequence starting at text[i], or 0 when there is
// none (Unicode's table of well-formed byte sequences).
size_t SequenceLength(std::string_view text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[i + k]); };
  const unsigned char lead = byte(0);
  size_t length = 0;
  unsigned char second_min = 0x80, second_max = 0xBF;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) second_min = 0xA0;  // overlong
    if (lead == 0xED) second_max = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) second_min = 0x90;  // overlong
    if (lead == 0xF4) second_max = 0x8F;  // past U+10FFFF
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  if (byte(1) < second_min || byte(1) > second_max) return 0;
  for (size_t k = 2; k < length; ++k) {
    if (!IsContinuation(byte(k))) return 0;
  }
  return length;
}

}  // namespace

std::string ToValidUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const size_t length = SequenceLength(text, i);
    if (length == 0) {
      out += kReplacement;
      ++i;
    } else {
      out.append(text, i, length);
      i += length;
    }
  }
  return out;
}

std::string CutUtf8(std::string text, size_t max_bytes) {
  if (text.size() <= max_bytes) return text;
  size_t cut = max_bytes;
  while (cut > 0 && IsContinuation(static_cast<unsigned char>(text[cut]))) --cut;
  text.resize(cut);
  return text;
}

}  // namespace nivora::internal
