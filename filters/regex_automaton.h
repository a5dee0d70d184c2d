// RegexAutomaton: runs programs of a compiled pattern (regex_program.h) over
// a text, one position at a time, as a search: each program starts a new
// thread at every position, so a step tells which programs have a match
// ending here (reversed programs: beginning here).
//
// Two uses: the pattern's main program alone, reading the answers of its
// lookaheads from PositionFacts; or all the lookahead bodies of a pattern
// together in one right-to-left pass, each answering for itself, inner
// lookaheads (earlier programs) before the outer ones that read them.
//
// A state is the set of threads waiting to consume a byte. Stepping simulates
// all of them at once (a Pike VM, with explicit work lists and no
// recursion), O(program size) per byte. States and steps are remembered, so
// a text that revisits the same states costs one table lookup per byte (a
// lazily built DFA): an array indexed by state, context and byte when the
// context that the assertions read takes few bits, a hash table otherwise.
// What is remembered is bounded by a byte budget; when it runs out it is
// dropped and built anew, and once that has happened kMaxForgets times the
// text is not revisiting states, so the automaton stops remembering and only
// simulates (sparing the cost of building states that never come back).
// Steps onto the first or last position are only simulated.
//
// One automaton belongs to one search on one thread; the programs and
// classes it runs must outlive it.
#ifndef NIVORA_FILTERS_REGEX_AUTOMATON_H_
#define NIVORA_FILTERS_REGEX_AUTOMATON_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include <absl/container/flat_hash_map.h>

#include "filters/regex_compiler.h"
#include "filters/regex_program.h"

namespace nivora::regex {

// What the assertions may ask about a position.
struct PositionFacts {
  static constexpr uint32_t kAtStart = 1;
  static constexpr uint32_t kAtEnd = 2;
  static constexpr uint32_t kWordBefore = 4;  // the byte before is a word byte
  static constexpr uint32_t kWordAfter = 8;   // the byte after is a word byte
  uint32_t flags = 0;
  // Whether each lookahead holds here: bit k of word k / 64, by lookahead
  // index. Read only by an automaton that does not answer them itself.
  const uint64_t* lookaheads = nullptr;
};

class RegexAutomaton {
 public:
  static constexpr int kMaxForgets = 8;

  struct Landing {
    uint32_t state = 0;
    uint32_t answers = 0;  // see Answers()
  };

  // programs[k] answers lookahead k when answers_lookaheads; otherwise
  // there is one program, whose lookaheads are read from PositionFacts.
  RegexAutomaton(std::vector<const Program*> programs, const std::vector<ByteClass>& classes,
                 bool answers_lookaheads, size_t cache_bytes);

  // The state at the first position of a run.
  Landing Start(const PositionFacts& at);
  // The state after consuming byte from state, landing where `at` holds.
  Landing Step(uint32_t state, unsigned char byte, const PositionFacts& at);

  // Which programs match at a landing: bit k of word k / 64.
  const uint64_t* Answers(uint32_t answers) const { return &answers_[answers * words_]; }
  bool FirstMatches(const Landing& landing) const { return Answers(landing.answers)[0] & 1; }

  // The threads of state, and a state made of given threads (to pause a run
  // and take it up again later).
  const std::vector<uint32_t>& Threads(uint32_t state) const { return states_[state]; }
  uint32_t Resume(const std::vector<uint32_t>& threads);

 private:
  using StepKey = std::array<uint64_t, 1 + kMaxLookaheads / 64>;

  bool Consumes(const Inst& inst, unsigned char byte) const;
  bool Holds(const Inst& inst, const PositionFacts& at) const;
  // The threads reachable from seeds_ without consuming, into scratch_, and
  // which programs match, into mask_.
  void Closure(const PositionFacts& at);
  void Explore(size_t begin, size_t end, const PositionFacts& at);
  uint32_t KeepState(std::vector<uint32_t>& threads);
  uint32_t KeepAnswers();
  Landing Land(const PositionFacts& at);
  size_t DenseIndex(uint32_t state, unsigned char byte, const PositionFacts& at) const;
  StepKey KeyOf(uint32_t state, unsigned char byte, const PositionFacts& at) const;
  void Charge(size_t bytes);
  void Forget();

  const std::vector<ByteClass>& classes_;
  const bool answers_lookaheads_;
  const size_t cache_bytes_;
  std::vector<Inst> insts_;     // every program, jumps made absolute
  std::vector<uint32_t> starts_;  // first instruction of each program, and the end
  std::vector<uint32_t> own_look_;  // answers_lookaheads_: program of each lookahead
  size_t words_ = 1;            // words of an answer mask
  uint32_t flags_read_ = 0;     // the PositionFacts flags the assertions read
  std::vector<uint32_t> read_looks_;  // lookaheads read from PositionFacts
  bool dense_ = false;
  size_t dense_stride_ = 1;     // contexts per state in the dense table
  StepKey look_mask_{};

  size_t used_bytes_ = 0;
  int forgets_ = 0;
  bool simulating_ = false;  // remembering no more: states_ holds two slots
  uint32_t slot_ = 0;        // simulating_: the slot last written
  uint32_t answer_slot_ = 0;  // likewise for answers_
  std::vector<std::vector<uint32_t>> states_;
  absl::flat_hash_map<uint64_t, std::vector<uint32_t>> states_by_hash_;
  std::vector<uint64_t> answers_;  // words_ per answer mask
  absl::flat_hash_map<uint64_t, std::vector<uint32_t>> answers_by_hash_;
  std::vector<uint64_t> dense_steps_;  // state | answers << 32, or ~0
  absl::flat_hash_map<StepKey, uint64_t> hashed_steps_;

  std::vector<uint32_t> seeds_, stack_, scratch_;
  std::vector<uint64_t> mask_;
  std::vector<uint32_t> seen_;  // per instruction: the closure that saw it last
  uint32_t closure_count_ = 0;
};

}  // namespace nivora::regex

#endif  // NIVORA_FILTERS_REGEX_AUTOMATON_H_
