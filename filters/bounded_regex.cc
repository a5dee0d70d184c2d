#include "filters/bounded_regex.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "filters/regex_automaton.h"

namespace nivora {
namespace {

using regex::PositionFacts;
using regex::RegexAutomaton;

bool IsWordByte(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

uint32_t FlagsAt(std::string_view text, size_t q) {
  uint32_t flags = 0;
  if (q == 0) flags |= PositionFacts::kAtStart;
  if (q == text.size()) flags |= PositionFacts::kAtEnd;
  if (q > 0 && IsWordByte(static_cast<unsigned char>(text[q - 1]))) {
    flags |= PositionFacts::kWordBefore;
  }
  if (q < text.size() && IsWordByte(static_cast<unsigned char>(text[q]))) {
    flags |= PositionFacts::kWordAfter;
  }
  return flags;
}

// The answers of every lookahead of a pattern at the positions of one text,
// one bit each, served block by block in increasing position. A block is
// filled by one automaton running all the reversed lookahead bodies from the
// block's top down. A text of one block takes one pass; a longer one takes a
// first pass from the end that saves the automaton's threads at each
// block's top, then one pass per block from its saved threads.
class LookaheadAnswers {
 public:
  LookaheadAnswers(const regex::CompiledPattern& pattern, std::string_view text,
                   size_t block_bytes)
      : text_(text),
        words_((pattern.lookaheads.size() + 63) / 64),
        automaton_(Programs(pattern), pattern.classes, /*answers_lookaheads=*/true,
                   BoundedRegex::kStateCacheBytes / 2) {
    block_ = std::max<size_t>(1, block_bytes / (words_ * sizeof(uint64_t)));
    if (text_.size() + 1 > block_) {
      // The pass that saves the threads where blocks begin.
      Sweep(/*record=*/false, block_, /*save=*/true);
    }
  }

  // The answers at position q, bit k for lookahead k. Positions are asked
  // for in increasing order; the pointer is valid until the next call.
  const uint64_t* At(size_t q) {
    if (rows_.empty() || q < low_ || q >= low_ + block_) Load(q / block_);
    return &rows_[(q - low_) * words_];
  }

 private:
  static std::vector<const regex::Program*> Programs(const regex::CompiledPattern& pattern) {
    std::vector<const regex::Program*> programs;
    for (const regex::Program& p : pattern.lookaheads) programs.push_back(&p);
    return programs;
  }

  void Load(size_t block) {
    low_ = block * block_;
    const size_t top = std::min(low_ + block_, text_.size() + 1);  // one past
    rows_.assign((top - low_) * words_, 0);
    if (top == text_.size() + 1) {
      Sweep(/*record=*/true, low_, /*save=*/false);
      return;
    }
    state_ = automaton_.Resume(saved_.at(top));
    Descend(top, /*record=*/true, low_, /*save=*/false);
  }

  void Record(size_t q, uint32_t answers, bool record) {
    if (!record) return;
    const uint64_t* bits = automaton_.Answers(answers);
    std::copy(bits, bits + words_, &rows_[(q - low_) * words_]);
  }

  // From the end of the text down to bottom.
  void Sweep(bool record, size_t bottom, bool save) {
    const size_t n = text_.size();
    const regex::RegexAutomaton::Landing landing = automaton_.Start({FlagsAt(text_, n)});
    state_ = landing.state;
    Record(n, landing.answers, record);
    if (save) Save(n);
    Descend(n, record, bottom, save);
  }

  // From the state at position top down to bottom, top itself excluded.
  void Descend(size_t top, bool record, size_t bottom, bool save) {
    for (size_t q = top; q-- > bottom;) {
      const regex::RegexAutomaton::Landing landing = automaton_.Step(
          state_, static_cast<unsigned char>(text_[q]), {FlagsAt(text_, q)});
      state_ = landing.state;
      Record(q, landing.answers, record);
      if (save) Save(q);
    }
  }

  void Save(size_t q) {
    if (q != 0 && q % block_ == 0) saved_[q] = automaton_.Threads(state_);
  }

  std::string_view text_;
  const size_t words_;
  size_t block_ = 1;  // positions per block
  RegexAutomaton automaton_;
  uint32_t state_ = 0;
  std::map<size_t, std::vector<uint32_t>> saved_;  // block top -> threads
  size_t low_ = 0;              // first position of the loaded block
  std::vector<uint64_t> rows_;  // its answers, words_ per position
};

}  // namespace

BoundedRegex::BoundedRegex(std::string_view pattern) : compiled_(regex::CompileRegex(pattern)) {}

bool BoundedRegex::Search(std::string_view text, size_t lookahead_block_bytes) const {
  const bool looks = !compiled_.lookaheads.empty();
  std::optional<LookaheadAnswers> answers;
  if (looks) answers.emplace(compiled_, text, lookahead_block_bytes);
  const auto facts = [&](size_t q) {
    return PositionFacts{FlagsAt(text, q), looks ? answers->At(q) : nullptr};
  };
  RegexAutomaton main({&compiled_.main}, compiled_.classes, /*answers_lookaheads=*/false,
                      looks ? kStateCacheBytes / 2 : kStateCacheBytes);
  RegexAutomaton::Landing landing = main.Start(facts(0));
  for (size_t q = 0; !main.FirstMatches(landing) && q < text.size(); ++q) {
    landing = main.Step(landing.state, static_cast<unsigned char>(text[q]), facts(q + 1));
  }
  return main.FirstMatches(landing);
}

}  // namespace nivora
