#include "filters/regex_automaton.h"

#include <algorithm>

namespace nivora::regex {
namespace {

constexpr size_t kStateCost = 64;  // bytes charged per state beside its threads
constexpr size_t kStepCost = 24;   // bytes charged per remembered step
constexpr uint32_t kMatchBit = 1u << 31;

uint64_t HashThreads(const std::vector<uint32_t>& threads) {
  uint64_t h = threads.size();
  for (uint32_t t : threads) h = (h ^ t) * 0x100000001B3ull + 0x9E3779B97F4A7C15ull;
  return h;
}

// The flags of PositionFacts that the program's assertions read.
uint32_t FlagsRead(const Program& program) {
  uint32_t flags = 0;
  for (const Inst& inst : program.insts) {
    if (inst.op == Op::kBol) flags |= PositionFacts::kAtStart;
    if (inst.op == Op::kEol) flags |= PositionFacts::kAtEnd;
    if (inst.op == Op::kWord || inst.op == Op::kNotWord) {
      flags |= PositionFacts::kWordBefore | PositionFacts::kWordAfter;
    }
  }
  return flags;
}

bool LookaheadHolds(const PositionFacts& at, uint32_t index) {
  return (at.lookaheads[index >> 6] >> (index & 63)) & 1;
}

}  // namespace

RegexAutomaton::RegexAutomaton(const Program& program, const std::vector<ByteClass>& classes,
                               size_t cache_bytes)
    : program_(program),
      classes_(classes),
      cached_(program.lookaheads.size() <= kMaxCachedLookaheads),
      cache_bytes_(cache_bytes),
      flags_read_(FlagsRead(program)),
      seen_(program.insts.size(), 0) {
  if (!cached_) states_.resize(2);
}

bool RegexAutomaton::Consumes(const Inst& inst, unsigned char byte) const {
  switch (inst.op) {
    case Op::kByte: return inst.arg == byte;
    case Op::kAny: return byte != '\n' && byte != '\r';
    case Op::kClass: return classes_[inst.arg][byte];
    default: return false;
  }
}

bool RegexAutomaton::Holds(const Inst& inst, const PositionFacts& at) const {
  const bool before = (at.flags & PositionFacts::kWordBefore) != 0;
  const bool after = (at.flags & PositionFacts::kWordAfter) != 0;
  switch (inst.op) {
    case Op::kBol: return (at.flags & PositionFacts::kAtStart) != 0;
    case Op::kEol: return (at.flags & PositionFacts::kAtEnd) != 0;
    case Op::kWord: return before != after;
    case Op::kNotWord: return before == after;
    case Op::kLook: return LookaheadHolds(at, inst.arg) != inst.negate;
    default: return false;
  }
}

bool RegexAutomaton::Closure(const PositionFacts& at) {
  if (++closure_count_ == 0) {  // the marks wrapped: start them afresh
    std::fill(seen_.begin(), seen_.end(), 0);
    closure_count_ = 1;
  }
  scratch_.clear();
  stack_.assign(seeds_.rbegin(), seeds_.rend());
  bool match = false;
  while (!stack_.empty()) {
    const uint32_t pc = stack_.back();
    stack_.pop_back();
    if (seen_[pc] == closure_count_) continue;
    seen_[pc] = closure_count_;
    const Inst& inst = program_.insts[pc];
    switch (inst.op) {
      case Op::kByte:
      case Op::kAny:
      case Op::kClass: scratch_.push_back(pc); break;
      case Op::kMatch: match = true; break;
      case Op::kSplit: stack_.push_back(inst.y); stack_.push_back(inst.x); break;
      case Op::kJump: stack_.push_back(inst.x); break;
      default:
        if (Holds(inst, at)) stack_.push_back(pc + 1);
        break;
    }
  }
  return match;
}

uint32_t RegexAutomaton::Keep(std::vector<uint32_t>& threads) {
  if (!cached_) {
    slot_ ^= 1;
    states_[slot_].swap(threads);
    return slot_;
  }
  std::sort(threads.begin(), threads.end());
  const uint64_t h = HashThreads(threads);
  if (const auto same = by_hash_.find(h); same != by_hash_.end()) {
    for (uint32_t id : same->second) {
      if (states_[id] == threads) return id;
    }
  }
  const size_t cost = kStateCost + threads.size() * sizeof(uint32_t);
  if (used_bytes_ + cost > cache_bytes_) Forget();
  used_bytes_ += cost;
  const auto id = static_cast<uint32_t>(states_.size());
  states_.push_back(threads);
  by_hash_[h].push_back(id);
  return id;
}

void RegexAutomaton::Forget() {
  states_.clear();
  by_hash_.clear();
  steps_.clear();
  used_bytes_ = 0;
  ++forgets_;
}

uint64_t RegexAutomaton::StepKey(uint32_t state, unsigned char byte,
                                 const PositionFacts& at) const {
  uint64_t context = at.flags & flags_read_;
  for (size_t i = 0; i < program_.lookaheads.size(); ++i) {
    context |= static_cast<uint64_t>(LookaheadHolds(at, program_.lookaheads[i])) << (4 + i);
  }
  return (static_cast<uint64_t>(state) << 32) | (context << 8) | byte;
}

RegexAutomaton::Landing RegexAutomaton::Start(const PositionFacts& at) {
  seeds_.assign(1, 0);
  const bool match = Closure(at);
  return {Keep(scratch_), match};
}

RegexAutomaton::Landing RegexAutomaton::Step(uint32_t state, unsigned char byte,
                                             const PositionFacts& at) {
  uint64_t key = 0;
  if (cached_) {
    key = StepKey(state, byte, at);
    if (const auto known = steps_.find(key); known != steps_.end()) {
      return {known->second & ~kMatchBit, (known->second & kMatchBit) != 0};
    }
  }
  seeds_.clear();
  for (uint32_t pc : states_[state]) {
    if (Consumes(program_.insts[pc], byte)) seeds_.push_back(pc + 1);
  }
  seeds_.push_back(0);  // a search: a new thread at every position
  const bool match = Closure(at);
  const uint64_t forgets = forgets_;
  uint32_t landed = Keep(scratch_);
  if (!cached_ || forgets != forgets_) return {landed, match};  // the step names a lost state
  if (used_bytes_ + kStepCost > cache_bytes_) {
    // Full: start over from the landing state alone.
    Forget();
    landed = Keep(scratch_);
  } else {
    used_bytes_ += kStepCost;
    steps_.emplace(key, landed | (match ? kMatchBit : 0));
  }
  return {landed, match};
}

uint32_t RegexAutomaton::Resume(const std::vector<uint32_t>& threads) {
  scratch_ = threads;
  return Keep(scratch_);
}

}  // namespace nivora::regex
