#include "filters/regex_automaton.h"

#include <algorithm>

namespace nivora::regex {
namespace {

constexpr size_t kEntryCost = 64;  // bytes charged per state, answer or hashed step
constexpr uint64_t kUnknown = ~uint64_t{0};
constexpr uint32_t kWordFlags = PositionFacts::kWordBefore | PositionFacts::kWordAfter;
constexpr uint32_t kEdgeFlags = PositionFacts::kAtStart | PositionFacts::kAtEnd;
// Contexts of at most this many bits index a dense table.
constexpr size_t kMaxDenseContextBits = 3;

template <typename T>
uint64_t HashOf(const T* values, size_t count) {
  uint64_t h = count;
  for (size_t i = 0; i < count; ++i) {
    h = (h ^ values[i]) * 0x100000001B3ull + 0x9E3779B97F4A7C15ull;
    h ^= h >> 29;
  }
  return h;
}

bool IsWordContext(uint32_t flags) { return (flags & kWordFlags) != 0; }

}  // namespace

RegexAutomaton::RegexAutomaton(std::vector<const Program*> programs,
                               const std::vector<ByteClass>& classes, bool answers_lookaheads,
                               size_t cache_bytes)
    : classes_(classes), answers_lookaheads_(answers_lookaheads), cache_bytes_(cache_bytes) {
  for (size_t k = 0; k < programs.size(); ++k) {
    const auto base = static_cast<uint32_t>(insts_.size());
    starts_.push_back(base);
    for (Inst inst : programs[k]->insts) {
      switch (inst.op) {
        case Op::kSplit: inst.x += base; inst.y += base; break;
        case Op::kJump: inst.x += base; break;
        case Op::kMatch: inst.arg = static_cast<uint32_t>(k); break;
        case Op::kBol: flags_read_ |= PositionFacts::kAtStart; break;
        case Op::kEol: flags_read_ |= PositionFacts::kAtEnd; break;
        case Op::kWord:
        case Op::kNotWord: flags_read_ |= kWordFlags; break;
        case Op::kLook:
          if (!answers_lookaheads_) read_looks_.push_back(inst.arg);
          break;
        default: break;
      }
      insts_.push_back(inst);
    }
  }
  starts_.push_back(static_cast<uint32_t>(insts_.size()));
  words_ = answers_lookaheads_ ? (programs.size() + 63) / 64 : 1;
  std::sort(read_looks_.begin(), read_looks_.end());
  read_looks_.erase(std::unique(read_looks_.begin(), read_looks_.end()), read_looks_.end());
  const size_t context_bits = (IsWordContext(flags_read_) ? 2 : 0) + read_looks_.size();
  dense_ = context_bits <= kMaxDenseContextBits;
  dense_stride_ = size_t{1} << (dense_ ? context_bits : 0);
  for (uint32_t index : read_looks_) look_mask_[1 + index / 64] |= uint64_t{1} << (index % 64);
  seen_.assign(insts_.size(), 0);
  mask_.assign(words_, 0);
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
    case Op::kLook: {
      // Inner lookaheads are earlier programs, already settled here.
      const uint64_t* answers = answers_lookaheads_ ? mask_.data() : at.lookaheads;
      const bool holds = (answers[inst.arg >> 6] >> (inst.arg & 63)) & 1;
      return holds != inst.negate;
    }
    default: return false;
  }
}

void RegexAutomaton::Explore(size_t begin, size_t end, const PositionFacts& at) {
  stack_.assign(seeds_.begin() + static_cast<ptrdiff_t>(begin),
                seeds_.begin() + static_cast<ptrdiff_t>(end));
  while (!stack_.empty()) {
    const uint32_t pc = stack_.back();
    stack_.pop_back();
    if (seen_[pc] == closure_count_) continue;
    seen_[pc] = closure_count_;
    const Inst& inst = insts_[pc];
    switch (inst.op) {
      case Op::kByte:
      case Op::kAny:
      case Op::kClass: scratch_.push_back(pc); break;
      case Op::kMatch: mask_[inst.arg >> 6] |= uint64_t{1} << (inst.arg & 63); break;
      case Op::kSplit: stack_.push_back(inst.y); stack_.push_back(inst.x); break;
      case Op::kJump: stack_.push_back(inst.x); break;
      default:
        if (Holds(inst, at)) stack_.push_back(pc + 1);
        break;
    }
  }
}

void RegexAutomaton::Closure(const PositionFacts& at) {
  if (++closure_count_ == 0) {  // the marks wrapped: start them afresh
    std::fill(seen_.begin(), seen_.end(), 0);
    closure_count_ = 1;
  }
  scratch_.clear();
  std::fill(mask_.begin(), mask_.end(), 0);
  if (starts_.size() > 2) std::sort(seeds_.begin(), seeds_.end());
  // Program by program, in order, so that a lookahead is settled before a
  // later program reads it.
  size_t begin = 0;
  for (size_t k = 0; k + 1 < starts_.size() && begin < seeds_.size(); ++k) {
    size_t end = begin;
    while (end < seeds_.size() && seeds_[end] < starts_[k + 1]) ++end;
    Explore(begin, end, at);
    begin = end;
  }
}

uint32_t RegexAutomaton::KeepState(std::vector<uint32_t>& threads) {
  if (simulating_) {
    slot_ ^= 1;
    states_[slot_].swap(threads);
    return slot_;
  }
  std::sort(threads.begin(), threads.end());
  std::vector<uint32_t>& same = states_by_hash_[HashOf(threads.data(), threads.size())];
  for (uint32_t id : same) {
    if (states_[id] == threads) return id;
  }
  const auto id = static_cast<uint32_t>(states_.size());
  same.push_back(id);
  states_.push_back(threads);
  Charge(kEntryCost + threads.size() * sizeof(uint32_t));
  if (dense_) {
    dense_steps_.resize(dense_steps_.size() + dense_stride_ * 256, kUnknown);
    Charge(dense_stride_ * 256 * sizeof(uint64_t));
  }
  return id;
}

uint32_t RegexAutomaton::KeepAnswers() {
  if (simulating_) {
    answer_slot_ ^= 1;
    std::copy(mask_.begin(), mask_.end(), answers_.begin() + answer_slot_ * words_);
    return answer_slot_;
  }
  std::vector<uint32_t>& same = answers_by_hash_[HashOf(mask_.data(), words_)];
  for (uint32_t id : same) {
    if (std::equal(mask_.begin(), mask_.end(), answers_.begin() + id * words_)) return id;
  }
  const auto id = static_cast<uint32_t>(answers_.size() / words_);
  same.push_back(id);
  answers_.insert(answers_.end(), mask_.begin(), mask_.end());
  Charge(kEntryCost + words_ * sizeof(uint64_t));
  return id;
}

void RegexAutomaton::Charge(size_t bytes) { used_bytes_ += bytes; }

void RegexAutomaton::Forget() {
  states_.clear();
  states_by_hash_.clear();
  answers_.clear();
  answers_by_hash_.clear();
  dense_steps_.clear();
  hashed_steps_.clear();
  used_bytes_ = 0;
  if (++forgets_ >= kMaxForgets) {
    simulating_ = true;
    states_.resize(2);
    answers_.resize(2 * words_);
  }
}

size_t RegexAutomaton::DenseIndex(uint32_t state, unsigned char byte,
                                  const PositionFacts& at) const {
  size_t context = 0;
  size_t bit = 0;
  if (IsWordContext(flags_read_)) {
    context = (at.flags & kWordFlags) >> 2;
    bit = 2;
  }
  for (uint32_t index : read_looks_) {
    context |= static_cast<size_t>((at.lookaheads[index >> 6] >> (index & 63)) & 1) << bit++;
  }
  return (state * dense_stride_ + context) * 256 + byte;
}

RegexAutomaton::StepKey RegexAutomaton::KeyOf(uint32_t state, unsigned char byte,
                                              const PositionFacts& at) const {
  StepKey key{};
  key[0] = (static_cast<uint64_t>(state) << 32) | ((at.flags & flags_read_) << 8) | byte;
  for (size_t w = 1; w < key.size(); ++w) {
    if (look_mask_[w] != 0) key[w] = at.lookaheads[w - 1] & look_mask_[w];
  }
  return key;
}

RegexAutomaton::Landing RegexAutomaton::Land(const PositionFacts& at) {
  Closure(at);
  Landing landing;
  landing.state = KeepState(scratch_);
  landing.answers = KeepAnswers();
  return landing;
}

RegexAutomaton::Landing RegexAutomaton::Start(const PositionFacts& at) {
  if (!simulating_ && used_bytes_ > cache_bytes_) Forget();
  seeds_.assign(starts_.begin(), starts_.end() - 1);
  return Land(at);
}

RegexAutomaton::Landing RegexAutomaton::Step(uint32_t state, unsigned char byte,
                                             const PositionFacts& at) {
  // The first and last positions come once a run: not worth remembering.
  const bool remembered = !simulating_ && (at.flags & flags_read_ & kEdgeFlags) == 0;
  if (remembered) {
    uint64_t known = kUnknown;
    if (dense_) {
      known = dense_steps_[DenseIndex(state, byte, at)];
    } else if (const auto it = hashed_steps_.find(KeyOf(state, byte, at));
               it != hashed_steps_.end()) {
      known = it->second;
    }
    if (known != kUnknown) {
      return {static_cast<uint32_t>(known), static_cast<uint32_t>(known >> 32)};
    }
  }
  if (!simulating_ && used_bytes_ > cache_bytes_) {
    // Full: start over from this state alone.
    std::vector<uint32_t> threads = states_[state];
    Forget();
    state = KeepState(threads);
  }
  seeds_.assign(starts_.begin(), starts_.end() - 1);  // a new thread everywhere
  for (uint32_t pc : states_[state]) {
    if (Consumes(insts_[pc], byte)) seeds_.push_back(pc + 1);
  }
  const Landing landing = Land(at);
  if (remembered) {
    const uint64_t packed = landing.state | (static_cast<uint64_t>(landing.answers) << 32);
    if (dense_) {
      dense_steps_[DenseIndex(state, byte, at)] = packed;
    } else {
      hashed_steps_.emplace(KeyOf(state, byte, at), packed);
      Charge(kEntryCost);
    }
  }
  return landing;
}

uint32_t RegexAutomaton::Resume(const std::vector<uint32_t>& threads) {
  if (!simulating_ && used_bytes_ > cache_bytes_) Forget();
  std::vector<uint32_t> copy = threads;
  return KeepState(copy);
}

}  // namespace nivora::regex
