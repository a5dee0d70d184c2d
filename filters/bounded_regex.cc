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
// one bit each, served block by block in increasing position. Each block is
// filled by running the reversed lookahead programs from its top down, inner
// lookaheads first at each position. A text of one block takes one pass;
// a longer one takes a first pass from the end that saves the automaton
// states at each block's top, then one pass per block from its saved states.
class LookaheadAnswers {
 public:
  LookaheadAnswers(const regex::CompiledPattern& pattern, std::string_view text,
                   size_t block_bytes)
      : text_(text), words_((pattern.lookaheads.size() + 63) / 64) {
    const size_t count = pattern.lookaheads.size();
    const size_t share = BoundedRegex::kStateCacheBytes / (count + 1);
    automata_.reserve(count);
    for (const regex::Program& program : pattern.lookaheads) {
      automata_.emplace_back(program, pattern.classes, share);
    }
    states_.resize(count);
    scratch_.resize(words_);
    block_ = std::max<size_t>(1, block_bytes / (words_ * sizeof(uint64_t)));
    if (text_.size() + 1 > block_) {
      // The pass that saves the states where blocks begin.
      Sweep(text_.size(), /*record=*/false, block_, /*save=*/true);
    }
  }

  // The answers at position q, bit k for lookahead k. Positions are asked
  // for in increasing order; the pointer is valid until the next call.
  const uint64_t* At(size_t q) {
    if (rows_.empty() || q < low_ || q >= low_ + block_) Load(q / block_);
    return &rows_[(q - low_) * words_];
  }

 private:
  void Load(size_t block) {
    low_ = block * block_;
    const size_t top = std::min(low_ + block_, text_.size() + 1);  // one past
    rows_.assign((top - low_) * words_, 0);
    if (top == text_.size() + 1) {
      Sweep(text_.size(), /*record=*/true, low_, /*save=*/false);
      return;
    }
    const std::vector<std::vector<uint32_t>>& saved = saved_.at(top);
    for (size_t k = 0; k < automata_.size(); ++k) states_[k] = automata_[k].Resume(saved[k]);
    Descend(top, /*record=*/true, low_, /*save=*/false);
  }

  uint64_t* Row(size_t q, bool record) {
    uint64_t* row = record ? &rows_[(q - low_) * words_] : scratch_.data();
    std::fill(row, row + words_, 0);
    return row;
  }

  // From the end of the text down to bottom.
  void Sweep(size_t n, bool record, size_t bottom, bool save) {
    uint64_t* row = Row(n, record);
    const PositionFacts at{FlagsAt(text_, n), row};
    for (size_t k = 0; k < automata_.size(); ++k) {
      const RegexAutomaton::Landing landing = automata_[k].Start(at);
      states_[k] = landing.state;
      if (landing.match) row[k >> 6] |= uint64_t{1} << (k & 63);
    }
    if (save) Save(n);
    Descend(n, record, bottom, save);
  }

  // From the states at position top down to bottom, top itself excluded.
  void Descend(size_t top, bool record, size_t bottom, bool save) {
    for (size_t q = top; q-- > bottom;) {
      uint64_t* row = Row(q, record);
      const PositionFacts at{FlagsAt(text_, q), row};
      const auto byte = static_cast<unsigned char>(text_[q]);
      for (size_t k = 0; k < automata_.size(); ++k) {
        const RegexAutomaton::Landing landing = automata_[k].Step(states_[k], byte, at);
        states_[k] = landing.state;
        if (landing.match) row[k >> 6] |= uint64_t{1} << (k & 63);
      }
      if (save) Save(q);
    }
  }

  void Save(size_t q) {
    if (q == 0 || q % block_ != 0) return;
    std::vector<std::vector<uint32_t>>& saved = saved_[q];
    saved.reserve(automata_.size());
    for (size_t k = 0; k < automata_.size(); ++k) saved.push_back(automata_[k].Threads(states_[k]));
  }

  std::string_view text_;
  const size_t words_;
  size_t block_ = 1;  // positions per block
  std::vector<RegexAutomaton> automata_;
  std::vector<uint32_t> states_;
  std::map<size_t, std::vector<std::vector<uint32_t>>> saved_;  // block top -> threads
  size_t low_ = 0;                // first position of the loaded block
  std::vector<uint64_t> rows_;    // its answers, words_ per position
  std::vector<uint64_t> scratch_;
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
  RegexAutomaton main(compiled_.main, compiled_.classes, kStateCacheBytes);
  RegexAutomaton::Landing landing = main.Start(facts(0));
  for (size_t q = 0; !landing.match && q < text.size(); ++q) {
    landing = main.Step(landing.state, static_cast<unsigned char>(text[q]), facts(q + 1));
  }
  return landing.match;
}

}  // namespace nivora
