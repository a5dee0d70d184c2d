// The compiled form of a "$regex" pattern (bounded_regex.h): small programs
// of a Thompson automaton over bytes, one for the pattern and one per
// distinct lookahead body. A lookahead body is compiled reversed, so that one
// right-to-left pass over the text decides it at every position at once.
//
// Assertions (^ $ \b \B and lookaheads) are tests of a position alone, so a
// program runs the same way in either direction.
//
// Plain value types; immutable once compiled.
#ifndef NIVORA_FILTERS_REGEX_PROGRAM_H_
#define NIVORA_FILTERS_REGEX_PROGRAM_H_

#include <bitset>
#include <cstdint>
#include <vector>

namespace nivora::regex {

enum class Op : uint8_t {
  kByte,     // consumes arg
  kAny,      // consumes any byte but '\n' and '\r'
  kClass,    // consumes a byte of CompiledPattern::classes[arg]
  kSplit,    // continues at x and at y
  kJump,     // continues at x
  kBol,      // at the start of the text
  kEol,      // at the end of the text
  kWord,     // at a word boundary
  kNotWord,  // not at a word boundary
  kLook,     // lookahead arg holds here (or, with negate, does not)
  kMatch,
};

struct Inst {
  Op op = Op::kMatch;
  bool negate = false;
  uint32_t arg = 0;
  uint32_t x = 0;
  uint32_t y = 0;
};

using ByteClass = std::bitset<256>;

struct Program {
  std::vector<Inst> insts;
  // Reversed: consumes the byte before the position and moves left.
  bool reversed = false;
  // The lookaheads its kLook instructions name, ascending, each once.
  std::vector<uint32_t> lookaheads;
};

struct CompiledPattern {
  Program main;
  // Reversed lookahead bodies; a lookahead nested in another comes first.
  std::vector<Program> lookaheads;
  std::vector<ByteClass> classes;
};

}  // namespace nivora::regex

#endif  // NIVORA_FILTERS_REGEX_PROGRAM_H_
