// BoundedRegex: the matcher behind "$regex". ECMAScript pattern syntax over
// bytes, case-sensitive, no multiline; answers only "does the pattern match
// anywhere in the text".
//
// Filter patterns come from callers, so matching must neither hang nor
// exhaust the stack, whatever the pattern and the text:
//  - a pattern is at most kMaxPatternBytes long and nests groups at most
//    kMaxGroupDepth deep, and its compiled program (counted repeats expanded)
//    has at most kMaxInstructions instructions;
//  - matching simulates all threads of the automaton in one pass over the
//    text (a Pike VM) with explicit work lists, so time is O(text x program)
//    and no recursion depends on the text; a lookahead is answered at most
//    once per text position;
//  - back-references, which no bounded matcher can offer, are refused.
// Supported: literals, ".", classes [...] with ranges and negation, \d \D \w
// \W \s \S \b \B, \t \n \v \f \r \0 \xHH \uHHHH \cX, escaped punctuation,
// ^ $, groups (...) (?:...), lookaheads (?=...) (?!...), alternation, and the
// quantifiers * + ? {n} {n,} {n,m} with optional lazy "?" (laziness does not
// change whether a match exists).
//
// A pattern that is refused throws std::regex_error whose what() says why.
// A compiled BoundedRegex is immutable: Search may run on many threads.
#ifndef NIVORA_FILTERS_BOUNDED_REGEX_H_
#define NIVORA_FILTERS_BOUNDED_REGEX_H_

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace nivora {

class BoundedRegex {
 public:
  static constexpr size_t kMaxPatternBytes = 1024;
  static constexpr int kMaxGroupDepth = 64;
  static constexpr size_t kMaxInstructions = 20000;

  // Compiles pattern; throws std::regex_error when it is malformed or over a
  // bound above.
  explicit BoundedRegex(std::string_view pattern);

  // Whether the pattern matches some substring of text.
  bool Search(std::string_view text) const;

  enum class Op : uint8_t {
    kByte,      // consumes arg
    kAny,       // consumes any byte but '\n' and '\r'
    kClass,     // consumes a byte of classes_[arg]
    kSplit,     // continues at x and at y
    kJump,      // continues at x
    kBol,       // at the start of the text
    kEol,       // at the end of the text
    kWord,      // at a word boundary
    kNotWord,   // not at a word boundary
    kLook,      // lookahead program arg holds (or, with negate, does not)
    kMatch,
  };
  struct Inst {
    Op op = Op::kMatch;
    bool negate = false;
    uint32_t arg = 0;
    uint32_t x = 0;
    uint32_t y = 0;
  };
  using Program = std::vector<Inst>;
  using ByteClass = std::bitset<256>;

 private:
  class Compiler;
  class Runner;

  std::vector<Program> programs_;  // [0] the pattern, then lookahead bodies
  std::vector<ByteClass> classes_;
};

}  // namespace nivora

#endif  // NIVORA_FILTERS_BOUNDED_REGEX_H_
