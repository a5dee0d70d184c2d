// RegexAutomaton: runs one program of a compiled pattern (regex_program.h)
// over a text, one position at a time, as a search: a new thread starts at
// every position, so a state tells whether some match ends here (reversed
// programs: begins here).
//
// A state is the set of threads waiting to consume a byte. Stepping simulates
// all of them at once (a Pike VM, with explicit work lists and no
// recursion), O(program) per byte. States and steps are remembered, so a
// text that revisits the same states costs a table lookup per byte (a lazily
// built DFA). The remembered states and steps are bounded by a byte budget;
// when it runs out they are dropped and built anew. A program that names
// more than kMaxCachedLookaheads lookaheads is only simulated.
//
// One automaton belongs to one evaluation on one thread; the program it
// runs must outlive it.
#ifndef NIVORA_FILTERS_REGEX_AUTOMATON_H_
#define NIVORA_FILTERS_REGEX_AUTOMATON_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include <absl/container/flat_hash_map.h>

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
  // index. May be null when the program names no lookahead.
  const uint64_t* lookaheads = nullptr;
};

class RegexAutomaton {
 public:
  static constexpr size_t kMaxCachedLookaheads = 16;

  struct Landing {
    uint32_t state = 0;
    bool match = false;  // a match ends (reversed: begins) at the position
  };

  RegexAutomaton(const Program& program, const std::vector<ByteClass>& classes,
                 size_t cache_bytes);

  // The state at the first position of a run.
  Landing Start(const PositionFacts& at);
  // The state after consuming byte from state, landing where `at` holds.
  Landing Step(uint32_t state, unsigned char byte, const PositionFacts& at);

  // The threads of state, and a state made of given threads (to pause a run
  // and take it up again later).
  const std::vector<uint32_t>& Threads(uint32_t state) const { return states_[state]; }
  uint32_t Resume(const std::vector<uint32_t>& threads);

 private:
  bool Consumes(const Inst& inst, unsigned char byte) const;
  bool Holds(const Inst& inst, const PositionFacts& at) const;
  // Adds the threads reachable from seeds_ without consuming into
  // scratch_; whether the match is among them.
  bool Closure(const PositionFacts& at);
  uint32_t Keep(std::vector<uint32_t>& threads);
  uint64_t StepKey(uint32_t state, unsigned char byte, const PositionFacts& at) const;
  void Forget();

  const Program& program_;
  const std::vector<ByteClass>& classes_;
  const bool cached_;
  const size_t cache_bytes_;
  const uint32_t flags_read_;  // the PositionFacts flags its assertions read
  size_t used_bytes_ = 0;
  uint32_t slot_ = 0;  // not cached: the slot of states_ last written
  uint64_t forgets_ = 0;  // how often the remembered states were dropped

  std::vector<std::vector<uint32_t>> states_;
  absl::flat_hash_map<uint64_t, std::vector<uint32_t>> by_hash_;  // hash -> states
  absl::flat_hash_map<uint64_t, uint32_t> steps_;  // StepKey -> state | match << 31

  std::vector<uint32_t> seeds_, stack_, scratch_;
  std::vector<uint32_t> seen_;  // per instruction: the closure that saw it last
  uint32_t closure_count_ = 0;
};

}  // namespace nivora::regex

#endif  // NIVORA_FILTERS_REGEX_AUTOMATON_H_
