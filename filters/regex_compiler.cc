#include "filters/regex_compiler.h"

#include <algorithm>
#include <map>
#include <regex>
#include <string>
#include <utility>

namespace nivora::regex {
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
bool IsOctal(char c) { return c >= '0' && c <= '7'; }
bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsWordByte(unsigned char c) {
  return IsDigit(static_cast<char>(c)) || IsLetter(static_cast<char>(c)) || c == '_';
}

int HexValue(char c) {
  if (IsDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsClassLetter(char c) {
  return c == 'd' || c == 'D' || c == 'w' || c == 'W' || c == 's' || c == 'S';
}

ByteClass ClassOf(char letter) {
  ByteClass set;
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

void AppendUtf8(uint32_t cp, std::string& out) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// The number of capturing groups: a decimal escape up to this number is a
// back-reference, above it a legacy octal escape or a literal digit.
int CountCapturingGroups(std::string_view pattern) {
  int groups = 0;
  bool in_class = false;
  for (size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c == '\\') {
      ++i;
    } else if (in_class) {
      in_class = c != ']';
    } else if (c == '[') {
      in_class = true;
    } else if (c == '(' && (i + 1 >= pattern.size() || pattern[i + 1] != '?')) {
      ++groups;
    }
  }
  return groups;
}

// Parses the pattern into a small tree, then emits the main program and one
// reversed program per distinct lookahead body. Parsing recurses once per
// group level (bounded by kMaxGroupDepth); emission is charged against a
// budget so that nested counted repeats cannot run away.
class Compiler {
 public:
  explicit Compiler(std::string_view pattern) : pattern_(pattern) {}

  CompiledPattern Compile() {
    if (pattern_.size() > kMaxPatternBytes) {
      Refuse(std::regex_constants::error_complexity,
             "pattern is longer than " + std::to_string(kMaxPatternBytes) + " bytes");
    }
    groups_ = CountCapturingGroups(pattern_);
    const int root = ParseAlternation(0);
    if (pos_ < pattern_.size()) Refuse(std::regex_constants::error_paren, "unmatched ')'");
    look_index_.assign(nodes_.size(), -1);
    IndexLookaheads(root);
    out_.main = EmitProgram(root, /*reversed=*/false);
    return std::move(out_);
  }

 private:
  enum class Kind { kEmpty, kLeaf, kLook, kConcat, kAlt, kRepeat };
  struct Node {
    Kind kind = Kind::kEmpty;
    Inst leaf;               // kLeaf: the instruction; kLook: its op and negate
    int min = 0, max = 0;    // kRepeat; max -1 is unbounded
    size_t begin = 0, end = 0;  // kLook: the body's text in the pattern
    std::vector<int> kids;
  };

  static constexpr int kCountCap = 1 << 20;  // larger counts only exceed the budget

  bool AtEnd() const { return pos_ >= pattern_.size(); }
  char Peek() const { return pattern_[pos_]; }
  bool PeekIs(char c) const { return !AtEnd() && Peek() == c; }
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
  int ByteLeaf(char c) { return Leaf(Op::kByte, static_cast<unsigned char>(c)); }
  int ClassLeaf(const ByteClass& set) {
    out_.classes.push_back(set);
    return Leaf(Op::kClass, static_cast<uint32_t>(out_.classes.size() - 1));
  }
  int Bytes(const std::string& bytes) {
    if (bytes.size() == 1) return ByteLeaf(bytes[0]);
    Node n;
    n.kind = Kind::kConcat;
    for (char c : bytes) n.kids.push_back(ByteLeaf(c));
    return Add(std::move(n));
  }

  int ParseAlternation(int depth) {
    Node alt;
    alt.kind = Kind::kAlt;
    alt.kids.push_back(ParseConcatenation(depth));
    while (PeekIs('|')) {
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
    if (PeekIs('?')) ++pos_;  // lazy: same matches exist
    int ignored_min = 0, ignored_max = 0;
    if (ParseQuantifier(&ignored_min, &ignored_max)) {
      Refuse(std::regex_constants::error_badrepeat, "nothing to repeat");
    }
    Node rep;
    rep.kind = Kind::kRepeat;
    rep.min = min;
    rep.max = max;
    rep.kids.push_back(atom);
    return Add(std::move(rep));
  }

  // Reads * + ? or a braced quantifier {n} {n,} {n,m} at the cursor. Returns
  // false, moving nothing, when none is there; a '{' that does not open a
  // complete braced quantifier is an ordinary character.
  bool ParseQuantifier(int* min, int* max) {
    if (AtEnd()) return false;
    switch (Peek()) {
      case '*': ++pos_; *min = 0; *max = -1; return true;
      case '+': ++pos_; *min = 1; *max = -1; return true;
      case '?': ++pos_; *min = 0; *max = 1; return true;
      case '{': return ParseBraces(min, max);
      default: return false;
    }
  }

  bool ParseBraces(int* min, int* max) {
    const size_t start = pos_;
    ++pos_;  // '{'
    bool ok = ParseCount(min);
    *max = *min;
    if (ok && PeekIs(',')) {
      ++pos_;
      if (PeekIs('}')) {
        *max = -1;
      } else {
        ok = ParseCount(max);
      }
    }
    if (!ok || !PeekIs('}')) {
      pos_ = start;
      return false;
    }
    ++pos_;
    if (*max >= 0 && *max < *min) {
      Refuse(std::regex_constants::error_badbrace, "invalid quantifier braces");
    }
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
      case '{': {
        --pos_;
        int min = 0, max = 0;
        if (ParseBraces(&min, &max)) {
          Refuse(std::regex_constants::error_badrepeat, "nothing to repeat");
        }
        ++pos_;
        return ByteLeaf(c);
      }
      default: return ByteLeaf(c);
    }
  }

  int ParseGroup(int depth, bool* quantifiable) {
    if (depth + 1 > kMaxGroupDepth) {
      Refuse(std::regex_constants::error_complexity,
             "groups nested deeper than " + std::to_string(kMaxGroupDepth) + " levels");
    }
    int look = 0;  // 0 group, 1 positive lookahead, -1 negative
    if (PeekIs('?')) {
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
    const size_t begin = pos_;
    const int body = ParseAlternation(depth + 1);
    const size_t end = pos_;
    if (AtEnd() || Next() != ')') Refuse(std::regex_constants::error_paren, "missing ')'");
    if (look == 0) return body;
    *quantifiable = true;  // a quantified lookahead is accepted, as on the web
    Node n;
    n.kind = Kind::kLook;
    n.leaf.op = Op::kLook;
    n.leaf.negate = look < 0;
    n.begin = begin;
    n.end = end;
    n.kids.push_back(body);
    return Add(std::move(n));
  }

  // The value of a legacy octal escape whose first digit has been read:
  // up to three digits while the value stays below 256.
  uint32_t ParseOctal(char first) {
    uint32_t value = static_cast<uint32_t>(first - '0');
    if (!AtEnd() && IsOctal(Peek())) {
      value = value * 8 + static_cast<uint32_t>(Next() - '0');
      if (first <= '3' && !AtEnd() && IsOctal(Peek())) {
        value = value * 8 + static_cast<uint32_t>(Next() - '0');
      }
    }
    return value;
  }

  // Exactly `digits` hex digits at the cursor, consumed; -1, consuming
  // nothing, when they are not all there.
  long ParseHex(int digits) {
    if (pattern_.size() - pos_ < static_cast<size_t>(digits)) return -1;
    long value = 0;
    for (int i = 0; i < digits; ++i) {
      const int h = HexValue(pattern_[pos_ + i]);
      if (h < 0) return -1;
      value = value * 16 + h;
    }
    pos_ += digits;
    return value;
  }

  // \uHHHH, a high surrogate joined with a following \uHHHH low surrogate;
  // -1 when four hex digits do not follow.
  long ParseUnicodeEscape() {
    const long value = ParseHex(4);
    if (value < 0xD800 || value > 0xDBFF || pattern_.substr(pos_, 2) != "\\u") return value;
    const size_t before = pos_;
    pos_ += 2;
    const long low = ParseHex(4);
    if (low >= 0xDC00 && low <= 0xDFFF) return 0x10000 + ((value - 0xD800) << 10) + (low - 0xDC00);
    pos_ = before;
    return value;
  }

  // A character escape shared by classes and atoms, its letter already
  // read: control escapes, \0 and legacy octal, \xHH, \uHHHH, and any other
  // character standing for itself. Its bytes are appended to out (UTF-8 for
  // \u beyond ASCII). \c is handled by the callers.
  void ParseCharacterEscape(char letter, std::string* out) {
    switch (letter) {
      case 't': *out += '\t'; return;
      case 'n': *out += '\n'; return;
      case 'v': *out += '\v'; return;
      case 'f': *out += '\f'; return;
      case 'r': *out += '\r'; return;
      case 'x': {
        const long value = ParseHex(2);
        *out += value < 0 ? 'x' : static_cast<char>(value);
        return;
      }
      case 'u': {
        const long value = ParseUnicodeEscape();
        if (value < 0) {
          *out += 'u';
        } else {
          AppendUtf8(static_cast<uint32_t>(value), *out);
        }
        return;
      }
      default:
        if (IsOctal(letter)) {
          *out += static_cast<char>(ParseOctal(letter));
        } else {
          *out += letter;  // identity escape, \8 and \9 included
        }
        return;
    }
  }

  int ParseEscape(bool* quantifiable) {
    const char c = Next();
    if (IsClassLetter(c)) return ClassLeaf(ClassOf(c));
    if (c == 'b' || c == 'B') {
      *quantifiable = false;
      return Leaf(c == 'b' ? Op::kWord : Op::kNotWord);
    }
    if (c == 'c') {
      if (!AtEnd() && IsLetter(Peek())) return ByteLeaf(static_cast<char>(Next() % 32));
      --pos_;  // a lone backslash before the 'c'
      return ByteLeaf('\\');
    }
    if (c >= '1' && c <= '9') RefuseBackReference();
    std::string bytes;
    ParseCharacterEscape(c, &bytes);
    return Bytes(bytes);
  }

  // A decimal escape names a group when there are that many groups: a
  // back-reference, which is refused. Otherwise it is read as octal or as a
  // digit, from the cursor just past its first digit.
  void RefuseBackReference() {
    const size_t after_first = pos_;
    long long number = pattern_[pos_ - 1] - '0';
    while (!AtEnd() && IsDigit(Peek())) {
      number = std::min<long long>(number * 10 + (Next() - '0'), kCountCap);
    }
    if (number <= groups_) {
      Refuse(std::regex_constants::error_backref, "back-references are not supported");
    }
    pos_ = after_first;
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
    if (e == 'c') {
      if (!AtEnd() && (IsLetter(Peek()) || IsDigit(Peek()) || Peek() == '_')) {
        return static_cast<unsigned char>(Next()) % 32;
      }
      --pos_;  // a lone backslash before the 'c'
      return '\\';
    }
    std::string bytes;
    ParseCharacterEscape(e, &bytes);
    if (bytes.size() != 1) {
      Refuse(std::regex_constants::error_escape, "non-ASCII \\u escape inside a class");
    }
    return static_cast<unsigned char>(bytes[0]);
  }

  int ParseClass() {
    ByteClass set;
    bool negate = false;
    if (PeekIs('^')) {
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
      if (lo < 0 || hi < 0) {
        // A class escape at either end: the members and '-' themselves.
        if (lo >= 0) set[lo] = true;
        if (hi >= 0) set[hi] = true;
        set['-'] = true;
        continue;
      }
      if (lo > hi) Refuse(std::regex_constants::error_range, "invalid range in character class");
      for (int b = lo; b <= hi; ++b) set[b] = true;
    }
    ++pos_;  // ']'
    return ClassLeaf(negate ? ~set : set);
  }

  // Gives every lookahead node its program, inner before outer; lookaheads
  // with the same body text share one.
  void IndexLookaheads(int id) {
    const Node& n = nodes_[id];
    for (int kid : n.kids) IndexLookaheads(kid);
    if (n.kind != Kind::kLook) return;
    const std::string_view body = pattern_.substr(n.begin, n.end - n.begin);
    auto [it, fresh] = look_by_body_.try_emplace(body, static_cast<int>(out_.lookaheads.size()));
    if (fresh) {
      if (out_.lookaheads.size() == kMaxLookaheads) {
        Refuse(std::regex_constants::error_complexity,
               "more than " + std::to_string(kMaxLookaheads) + " distinct lookaheads");
      }
      out_.lookaheads.push_back(EmitProgram(n.kids[0], /*reversed=*/true));
    }
    look_index_[id] = it->second;
  }

  Program EmitProgram(int root, bool reversed) {
    Program p;
    p.reversed = reversed;
    Emit(root, p);
    Push(p, {Op::kMatch});
    for (const Inst& inst : p.insts) {
      if (inst.op == Op::kLook) p.lookaheads.push_back(inst.arg);
    }
    std::sort(p.lookaheads.begin(), p.lookaheads.end());
    p.lookaheads.erase(std::unique(p.lookaheads.begin(), p.lookaheads.end()), p.lookaheads.end());
    for (Inst& inst : p.insts) {
      if (inst.op != Op::kLook) continue;
      const auto local = std::lower_bound(p.lookaheads.begin(), p.lookaheads.end(), inst.arg);
      inst.y = static_cast<uint32_t>(local - p.lookaheads.begin());
    }
    return p;
  }

  void Push(Program& p, Inst inst) {
    if (++instructions_ > kMaxInstructions) RefuseTooLarge();
    p.insts.push_back(inst);
  }
  [[noreturn]] static void RefuseTooLarge() {
    Refuse(std::regex_constants::error_space,
           "pattern expands to more than " + std::to_string(kMaxInstructions) + " instructions");
  }
  static uint32_t Here(const Program& p) { return static_cast<uint32_t>(p.insts.size()); }

  void Emit(int id, Program& p) {
    // Every visit costs, so repeats of parts that emit nothing stay bounded.
    if (++emit_steps_ > 4 * kMaxInstructions) RefuseTooLarge();
    const Node& n = nodes_[id];
    switch (n.kind) {
      case Kind::kEmpty: return;
      case Kind::kLeaf: Push(p, n.leaf); return;
      case Kind::kConcat:
        if (p.reversed) {
          for (auto kid = n.kids.rbegin(); kid != n.kids.rend(); ++kid) Emit(*kid, p);
        } else {
          for (int kid : n.kids) Emit(kid, p);
        }
        return;
      case Kind::kAlt: EmitAlternation(n, p); return;
      case Kind::kRepeat: EmitRepeat(n, p); return;
      case Kind::kLook: {
        Inst inst = n.leaf;
        inst.arg = static_cast<uint32_t>(look_index_[id]);
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
      p.insts[split].y = Here(p);
    }
    Emit(n.kids.back(), p);
    for (uint32_t j : jumps_to_end) p.insts[j].x = Here(p);
  }

  void EmitRepeat(const Node& n, Program& p) {
    const int kid = n.kids[0];
    for (int i = 0; i < n.min; ++i) Emit(kid, p);
    if (n.max < 0) {
      const uint32_t loop = Here(p);
      Push(p, {Op::kSplit, false, 0, loop + 1, 0});
      Emit(kid, p);
      Push(p, {Op::kJump, false, 0, loop, 0});
      p.insts[loop].y = Here(p);
      return;
    }
    for (int i = n.min; i < n.max; ++i) {
      const uint32_t split = Here(p);
      Push(p, {Op::kSplit, false, 0, split + 1, 0});
      Emit(kid, p);
      p.insts[split].y = Here(p);
    }
  }

  std::string_view pattern_;
  size_t pos_ = 0;
  int groups_ = 0;
  CompiledPattern out_;
  std::vector<Node> nodes_;
  std::vector<int> look_index_;  // per node: its lookahead program, or -1
  std::map<std::string_view, int> look_by_body_;
  size_t instructions_ = 0;
  size_t emit_steps_ = 0;
};

}  // namespace

CompiledPattern CompileRegex(std::string_view pattern) { return Compiler(pattern).Compile(); }

}  // namespace nivora::regex
