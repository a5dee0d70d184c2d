#include "filters/bounded_regex.h"

#include <regex>
#include <string>
#include <utility>

namespace nivora {
namespace {

using ErrorType = std::regex_constants::error_type;

// std::regex_error with a message that says what is wrong with the pattern.
class PatternError : public std::regex_error {
 public:
  PatternError(ErrorType code, std::string message)
      : std::regex_error(code), message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

[[noreturn]] void Refuse(ErrorType code, const std::string& message) {
  throw PatternError(code, message);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAlnum(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool IsWordByte(unsigned char c) { return IsAlnum(static_cast<char>(c)) || c == '_'; }

int HexValue(char c) {
  if (IsDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

BoundedRegex::ByteClass ClassOf(char letter) {
  BoundedRegex::ByteClass set;
  for (int b = 0; b < 256; ++b) {
    const auto c = static_cast<unsigned char>(b);
    switch (letter | 0x20) {
      case 'd': set[b] = IsDigit(static_cast<char>(c)); break;
      case 'w': set[b] = IsWordByte(c); break;
      default: set[b] = c == ' ' || (c >= '\t' && c <= '\r'); break;  // 's'
    }
  }
  const bool negated = letter >= 'A' && letter <= 'Z';
  return negated ? ~set : set;
}

bool IsClassLetter(char c) {
  return c == 'd' || c == 'D' || c == 'w' || c == 'W' || c == 's' || c == 'S';
}

void AppendUtf8(uint32_t cp, std::string& out) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

// Parses the pattern into a small tree, then emits one program for the
// pattern and one per lookahead body. Parsing recurses once per group level
// (bounded by kMaxGroupDepth); emission is charged against a budget so that
// nested counted repeats cannot run away.
class BoundedRegex::Compiler {
 public:
  Compiler(std::string_view pattern, BoundedRegex& out) : pattern_(pattern), out_(out) {}

  void Compile() {
    if (pattern_.size() > kMaxPatternBytes) {
      Refuse(std::regex_constants::error_complexity,
             "pattern is longer than " + std::to_string(kMaxPatternBytes) + " bytes");
    }
    const int root = ParseAlternation(0);
    if (pos_ < pattern_.size()) Refuse(std::regex_constants::error_paren, "unmatched ')'");
    look_program_.assign(nodes_.size(), -1);
    out_.programs_.emplace_back();
    Program main;
    Emit(root, main);
    Push(main, {Op::kMatch});
    out_.programs_[0] = std::move(main);
  }

 private:
  enum class Kind { kEmpty, kLeaf, kLook, kConcat, kAlt, kRepeat };
  struct Node {
    Kind kind = Kind::kEmpty;
    Inst leaf;               // kLeaf: the instruction; kLook: its op and negate
    int min = 0, max = 0;    // kRepeat; max -1 is unbounded
    std::vector<int> kids;
  };

  static constexpr int kCountCap = 1 << 20;  // larger counts only exceed the budget

  bool AtEnd() const { return pos_ >= pattern_.size(); }
  char Peek() const { return pattern_[pos_]; }
  char Next() {
    if (AtEnd()) Refuse(std::regex_constants::error_escape, "pattern ends inside an escape");
    return pattern_[pos_++];
  }

  int Add(Node node) {
    nodes_.push_back(std::move(node));
    return static_cast<int>(nodes_.size() - 1);
  }
  int Leaf(Op op, uint32_t arg = 0) {
    Node n;
    n.kind = Kind::kLeaf;
    n.leaf.op = op;
    n.leaf.arg = arg;
    return Add(std::move(n));
  }
  int ClassLeaf(const ByteClass& set) {
    out_.classes_.push_back(set);
    return Leaf(Op::kClass, static_cast<uint32_t>(out_.classes_.size() - 1));
  }
  int Bytes(const std::string& bytes) {
    if (bytes.size() == 1) return Leaf(Op::kByte, static_cast<unsigned char>(bytes[0]));
    Node n;
    n.kind = Kind::kConcat;
    for (char c : bytes) n.kids.push_back(Leaf(Op::kByte, static_cast<unsigned char>(c)));
    return Add(std::move(n));
  }

  int ParseAlternation(int depth) {
    Node alt;
    alt.kind = Kind::kAlt;
    alt.kids.push_back(ParseConcatenation(depth));
    while (!AtEnd() && Peek() == '|') {
      ++pos_;
      alt.kids.push_back(ParseConcatenation(depth));
    }
    return alt.kids.size() == 1 ? alt.kids[0] : Add(std::move(alt));
  }

  int ParseConcatenation(int depth) {
    Node cat;
    cat.kind = Kind::kConcat;
    while (!AtEnd() && Peek() != '|' && Peek() != ')') cat.kids.push_back(ParseQuantified(depth));
    return Add(std::move(cat));
  }

  int ParseQuantified(int depth) {
    bool quantifiable = true;
    const int atom = ParseAtom(depth, &quantifiable);
    int min = 0, max = 0;
    if (!ParseQuantifier(&min, &max)) return atom;
    if (!quantifiable) Refuse(std::regex_constants::error_badrepeat, "nothing to repeat");
    if (!AtEnd() && Peek() == '?') ++pos_;  // lazy: same matches exist
    int dummy_min = 0, dummy_max = 0;
    if (ParseQuantifier(&dummy_min, &dummy_max)) {
      Refuse(std::regex_constants::error_badrepeat, "nothing to repeat");
    }
    Node rep;
    rep.kind = Kind::kRepeat;
    rep.min = min;
    rep.max = max;
    rep.kids.push_back(atom);
    return Add(std::move(rep));
  }

  // Reads * + ? or a brace quantifier at the cursor. Returns false, moving
  // nothing, when none is there.
  bool ParseQuantifier(int* min, int* max) {
    if (AtEnd()) return false;
    switch (Peek()) {
      case '*': ++pos_; *min = 0; *max = -1; return true;
      case '+': ++pos_; *min = 1; *max = -1; return true;
      case '?': ++pos_; *min = 0; *max = 1; return true;
      case '{': break;
      default: return false;
    }
    ++pos_;
    if (!ParseCount(min)) Refuse(std::regex_constants::error_badbrace, "invalid quantifier braces");
    *max = *min;
    if (!AtEnd() && Peek() == ',') {
      ++pos_;
      if (!AtEnd() && Peek() == '}') {
        *max = -1;
      } else if (!ParseCount(max) || *max < *min) {
        Refuse(std::regex_constants::error_badbrace, "invalid quantifier braces");
      }
    }
    if (AtEnd() || Peek() != '}') {
      Refuse(std::regex_constants::error_brace, "invalid quantifier braces");
    }
    ++pos_;
    return true;
  }

  bool ParseCount(int* value) {
    if (AtEnd() || !IsDigit(Peek())) return false;
    long long n = 0;
    while (!AtEnd() && IsDigit(Peek())) {
      n = std::min<long long>(n * 10 + (Next() - '0'), kCountCap);
    }
    *value = static_cast<int>(n);
    return true;
  }

  int ParseAtom(int depth, bool* quantifiable) {
    const char c = Next();
    switch (c) {
      case '(': return ParseGroup(depth, quantifiable);
      case '[': return ParseClass();
      case '.': return Leaf(Op::kAny);
      case '^': *quantifiable = false; return Leaf(Op::kBol);
      case '$': *quantifiable = false; return Leaf(Op::kEol);
      case '\\': return ParseEscape(quantifiable);
      case '*':
      case '+':
      case '?': Refuse(std::regex_constants::error_badrepeat, "nothing to repeat");
      case '{': Refuse(std::regex_constants::error_brace, "'{' without an atom to repeat");
      default: return Leaf(Op::kByte, static_cast<unsigned char>(c));
    }
  }

  int ParseGroup(int depth, bool* quantifiable) {
    if (depth + 1 > kMaxGroupDepth) {
      Refuse(std::regex_constants::error_complexity,
             "groups nested deeper than " + std::to_string(kMaxGroupDepth) + " levels");
    }
    int look = 0;  // 0 group, 1 positive lookahead, -1 negative
    if (!AtEnd() && Peek() == '?') {
      ++pos_;
      const char kind = AtEnd() ? '\0' : Next();
      if (kind == '=') {
        look = 1;
      } else if (kind == '!') {
        look = -1;
      } else if (kind != ':') {
        Refuse(std::regex_constants::error_paren, "unsupported group syntax '(?'");
      }
    }
    const int body = ParseAlternation(depth + 1);
    if (AtEnd() || Next() != ')') Refuse(std::regex_constants::error_paren, "missing ')'");
    if (look == 0) return body;
    *quantifiable = true;
    Node n;
    n.kind = Kind::kLook;
    n.leaf.op = Op::kLook;
    n.leaf.negate = look < 0;
    n.kids.push_back(body);
    return Add(std::move(n));
  }

  // A single byte from an escape shared by classes and atoms (\t \n \v \f
  // \r \0 \xHH \uHHHH \cX), appended to out; false when letter is none of
  // these. \u beyond ASCII becomes its UTF-8 bytes.
  bool ParseCharacterEscape(char letter, std::string* out) {
    switch (letter) {
      case 't': *out += '\t'; return true;
      case 'n': *out += '\n'; return true;
      case 'v': *out += '\v'; return true;
      case 'f': *out += '\f'; return true;
      case 'r': *out += '\r'; return true;
      case '0':
        if (!AtEnd() && IsDigit(Peek())) Refuse(std::regex_constants::error_escape, "invalid escape");
        *out += '\0';
        return true;
      case 'c': {
        const char c = AtEnd() ? '\0' : Next();
        if (!IsAlnum(c) || IsDigit(c)) Refuse(std::regex_constants::error_escape, "invalid escape");
        *out += static_cast<char>(c % 32);
        return true;
      }
      case 'x':
      case 'u': {
        const int digits = letter == 'x' ? 2 : 4;
        uint32_t value = 0;
        for (int i = 0; i < digits; ++i) {
          const int h = AtEnd() ? -1 : HexValue(Next());
          if (h < 0) Refuse(std::regex_constants::error_escape, "invalid escape");
          value = value * 16 + static_cast<uint32_t>(h);
        }
        if (letter == 'x') {
          *out += static_cast<char>(value);
        } else {
          AppendUtf8(value, *out);
        }
        return true;
      }
      default: return false;
    }
  }

  int ParseEscape(bool* quantifiable) {
    const char c = Next();
    if (IsClassLetter(c)) return ClassLeaf(ClassOf(c));
    if (c == 'b' || c == 'B') {
      *quantifiable = false;
      return Leaf(c == 'b' ? Op::kWord : Op::kNotWord);
    }
    if (c >= '1' && c <= '9') {
      Refuse(std::regex_constants::error_backref, "back-references are not supported");
    }
    std::string bytes;
    if (ParseCharacterEscape(c, &bytes)) return Bytes(bytes);
    if (IsAlnum(c)) Refuse(std::regex_constants::error_escape, "invalid escape");
    return Leaf(Op::kByte, static_cast<unsigned char>(c));
  }

  // One class member at the cursor: a byte (returned, set untouched) or a
  // class escape (added to *set, -1 returned).
  int ParseClassMember(ByteClass* set) {
    const char c = Next();
    if (c != '\\') return static_cast<unsigned char>(c);
    const char e = Next();
    if (IsClassLetter(e)) {
      *set |= ClassOf(e);
      return -1;
    }
    if (e == 'b') return '\b';
    std::string bytes;
    if (ParseCharacterEscape(e, &bytes)) {
      if (bytes.size() != 1) {
        Refuse(std::regex_constants::error_escape, "non-ASCII \\u escape inside a class");
      }
      return static_cast<unsigned char>(bytes[0]);
    }
    if (IsAlnum(e)) Refuse(std::regex_constants::error_escape, "invalid escape");
    return static_cast<unsigned char>(e);
  }

  int ParseClass() {
    ByteClass set;
    bool negate = false;
    if (!AtEnd() && Peek() == '^') {
      negate = true;
      ++pos_;
    }
    for (;;) {
      if (AtEnd()) Refuse(std::regex_constants::error_brack, "unterminated character class");
      if (Peek() == ']') break;
      const int lo = ParseClassMember(&set);
      const bool range = pos_ + 1 < pattern_.size() && Peek() == '-' && pattern_[pos_ + 1] != ']';
      if (!range) {
        if (lo >= 0) set[lo] = true;
        continue;
      }
      ++pos_;  // '-'
      const int hi = ParseClassMember(&set);
      if (lo < 0 || hi < 0 || lo > hi) {
        Refuse(std::regex_constants::error_range, "invalid range in character class");
      }
      for (int b = lo; b <= hi; ++b) set[b] = true;
    }
    ++pos_;  // ']'
    return ClassLeaf(negate ? ~set : set);
  }

  void Push(Program& p, Inst inst) {
    if (++instructions_ > kMaxInstructions) RefuseTooLarge();
    p.push_back(inst);
  }
  [[noreturn]] static void RefuseTooLarge() {
    Refuse(std::regex_constants::error_space,
           "pattern expands to more than " + std::to_string(kMaxInstructions) + " instructions");
  }
  static uint32_t Here(const Program& p) { return static_cast<uint32_t>(p.size()); }

  void Emit(int id, Program& p) {
    // Every visit costs, so repeats of parts that emit nothing stay bounded.
    if (++emit_steps_ > 4 * kMaxInstructions) RefuseTooLarge();
    const Node& n = nodes_[id];
    switch (n.kind) {
      case Kind::kEmpty: return;
      case Kind::kLeaf: Push(p, n.leaf); return;
      case Kind::kConcat:
        for (int kid : n.kids) Emit(kid, p);
        return;
      case Kind::kAlt: EmitAlternation(n, p); return;
      case Kind::kRepeat: EmitRepeat(n, p); return;
      case Kind::kLook: {
        Inst inst = n.leaf;
        inst.arg = LookProgram(id);
        Push(p, inst);
        return;
      }
    }
  }

  void EmitAlternation(const Node& n, Program& p) {
    std::vector<uint32_t> jumps_to_end;
    for (size_t i = 0; i + 1 < n.kids.size(); ++i) {
      const uint32_t split = Here(p);
      Push(p, {Op::kSplit, false, 0, split + 1, 0});
      Emit(n.kids[i], p);
      jumps_to_end.push_back(Here(p));
      Push(p, {Op::kJump});
      p[split].y = Here(p);
    }
    Emit(n.kids.back(), p);
    for (uint32_t j : jumps_to_end) p[j].x = Here(p);
  }

  void EmitRepeat(const Node& n, Program& p) {
    const int kid = n.kids[0];
    for (int i = 0; i < n.min; ++i) Emit(kid, p);
    if (n.max < 0) {
      const uint32_t loop = Here(p);
      Push(p, {Op::kSplit, false, 0, loop + 1, 0});
      Emit(kid, p);
      Push(p, {Op::kJump, false, 0, loop, 0});
      p[loop].y = Here(p);
      return;
    }
    for (int i = n.min; i < n.max; ++i) {
      const uint32_t split = Here(p);
      Push(p, {Op::kSplit, false, 0, split + 1, 0});
      Emit(kid, p);
      p[split].y = Here(p);
    }
  }

  uint32_t LookProgram(int id) {
    if (look_program_[id] < 0) {
      const auto index = static_cast<int>(out_.programs_.size());
      out_.programs_.emplace_back();
      Program body;
      Emit(nodes_[id].kids[0], body);
      Push(body, {Op::kMatch});
      out_.programs_[index] = std::move(body);
      look_program_[id] = index;
    }
    return static_cast<uint32_t>(look_program_[id]);
  }

  std::string_view pattern_;
  size_t pos_ = 0;
  BoundedRegex& out_;
  std::vector<Node> nodes_;
  std::vector<int> look_program_;  // per node: its lookahead program, or -1
  size_t instructions_ = 0;
  size_t emit_steps_ = 0;
};

// Runs programs over one text. Keeps the answers of lookaheads per position,
// so each is computed at most once per position.
class BoundedRegex::Runner {
 public:
  Runner(const BoundedRegex& re, std::string_view text)
      : re_(re), text_(text), memo_(re.programs_.size()) {}

  // Whether program matches starting at start (anchored) or at any position
  // from start on.
  bool Run(size_t program, size_t start, bool anchored) {
    const Program& prog = re_.programs_[program];
    ThreadSet current(prog.size()), next(prog.size());
    std::vector<uint32_t> stack;
    for (size_t pos = start;; ++pos) {
      if ((!anchored || pos == start) && AddClosure(prog, 0, pos, current, stack)) return true;
      if (pos == text_.size() || (anchored && current.empty())) return false;
      const auto byte = static_cast<unsigned char>(text_[pos]);
      next.clear();
      for (uint32_t pc : current) {
        if (Consumes(prog[pc], byte) && AddClosure(prog, pc + 1, pos + 1, next, stack)) return true;
      }
      std::swap(current, next);
    }
  }

 private:
  // A set of program counters with constant-time insert, test and clear.
  class ThreadSet {
   public:
    explicit ThreadSet(size_t n) : sparse_(n), dense_(n) {}
    bool Insert(uint32_t pc) {
      const uint32_t i = sparse_[pc];
      if (i < size_ && dense_[i] == pc) return false;
      sparse_[pc] = size_;
      dense_[size_++] = pc;
      return true;
    }
    void clear() { size_ = 0; }
    bool empty() const { return size_ == 0; }
    const uint32_t* begin() const { return dense_.data(); }
    const uint32_t* end() const { return dense_.data() + size_; }

   private:
    std::vector<uint32_t> sparse_, dense_;
    uint32_t size_ = 0;
  };

  bool Consumes(const Inst& inst, unsigned char byte) const {
    switch (inst.op) {
      case Op::kByte: return inst.arg == byte;
      case Op::kAny: return byte != '\n' && byte != '\r';
      case Op::kClass: return re_.classes_[inst.arg][byte];
      default: return false;
    }
  }

  bool AtWordBoundary(size_t pos) const {
    const bool before = pos > 0 && IsWordByte(static_cast<unsigned char>(text_[pos - 1]));
    const bool after = pos < text_.size() && IsWordByte(static_cast<unsigned char>(text_[pos]));
    return before != after;
  }

  bool LookaheadHolds(uint32_t program, size_t pos) {
    std::vector<int8_t>& memo = memo_[program];
    if (memo.empty()) memo.assign(text_.size() + 1, -1);
    if (memo[pos] < 0) memo[pos] = Run(program, pos, /*anchored=*/true) ? 1 : 0;
    return memo[pos] == 1;
  }

  // Adds every state reachable from pc at pos without consuming a byte;
  // true when one of them is the match.
  bool AddClosure(const Program& prog, uint32_t pc, size_t pos, ThreadSet& set,
                  std::vector<uint32_t>& stack) {
    stack.clear();
    stack.push_back(pc);
    while (!stack.empty()) {
      pc = stack.back();
      stack.pop_back();
      if (!set.Insert(pc)) continue;
      const Inst& inst = prog[pc];
      bool follow = false;
      switch (inst.op) {
        case Op::kMatch: return true;
        case Op::kSplit: stack.push_back(inst.y); stack.push_back(inst.x); break;
        case Op::kJump: stack.push_back(inst.x); break;
        case Op::kBol: follow = pos == 0; break;
        case Op::kEol: follow = pos == text_.size(); break;
        case Op::kWord: follow = AtWordBoundary(pos); break;
        case Op::kNotWord: follow = !AtWordBoundary(pos); break;
        case Op::kLook: follow = LookaheadHolds(inst.arg, pos) != inst.negate; break;
        default: break;  // consuming: waits in the set for the next byte
      }
      if (follow) stack.push_back(pc + 1);
    }
    return false;
  }

  const BoundedRegex& re_;
  std::string_view text_;
  std::vector<std::vector<int8_t>> memo_;  // per program, per position: -1 unknown
};

BoundedRegex::BoundedRegex(std::string_view pattern) { Compiler(pattern, *this).Compile(); }

bool BoundedRegex::Search(std::string_view text) const {
  return Runner(*this, text).Run(0, 0, /*anchored=*/false);
}

}  // namespace nivora
