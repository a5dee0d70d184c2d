// std::regex serves only as the reference here; GCC 12 reports a false
// "maybe uninitialized" inside its std::function members at -O2 with
// sanitizers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "filters/bounded_regex.h"

#include <pthread.h>

#include <functional>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace nivora {
namespace {

using ::testing::HasSubstr;

std::string RefusalOf(const std::string& pattern) {
  try {
    BoundedRegex re(pattern);
  } catch (const std::regex_error& e) {
    return e.what();
  }
  return "<accepted>";
}

// Patterns the standard library's ECMAScript engine handles quickly: both
// must agree on every text.
TEST(BoundedRegexTest, AgreesWithStdRegexOnOrdinaryPatterns) {
  const std::vector<std::string> patterns = {
      "", "a", "^ab", "b$", "^$", "a.c", "a|bc|", "(ab)+c", "(?:ab)*c", "a{2}", "a{2,}",
      "^a{1,3}$", "a??b", "x*?y", "[abc]", "[^abc]", "[a-cx-z]+", "[-a]", "[a-]", "[]", "[^]",
      "\\d+", "\\D", "\\w+\\b", "\\bis\\b", "\\Bx", "\\s", "\\S+", "[\\d.]+", "[\\w-]",
      "\\.", "\\$\\^", "\\x41", "\\u0042", "\\t", "a(?=b)", "a(?!b)", "(?=.*\\d)\\w+$",
      "^(?!foo)", "(a|b)*abb", "(?:a|ab)(?:c|bcd)(?:d*)$", "colou?r", "[.]", "^.*$", "a.b",
      "]", "}", "(?:)", "(|a)+", "((a*)*)*b", "^[A-Za-z_][A-Za-z0-9_]*$"};
  const std::vector<std::string> texts = {
      "", "a", "ab", "abc", "aab", "aaab", "ba", "xyz", "ABC", "a1b2", "is this it", "x\ny",
      "a\rc", "colour", "color", "foo1", "bar", "abcd", "a.b", "$^", "]}", "ababc", "abb",
      "a_1", "-", "\t", std::string("a\0c", 3), "axb", "\n"};
  for (const std::string& p : patterns) {
    const std::regex reference(p, std::regex::ECMAScript);
    const BoundedRegex re(p);
    for (const std::string& t : texts) {
      EXPECT_EQ(re.Search(t), std::regex_search(t, reference)) << "/" << p << "/ on \"" << t
                                                                 << "\"";
    }
  }
}

TEST(BoundedRegexTest, RefusesMalformedAndUnboundedPatterns) {
  struct Case {
    std::string pattern;
    const char* why;
  } cases[] = {
      {"(", "missing ')'"},
      {"a)", "unmatched ')'"},
      {"*a", "nothing to repeat"},
      {"a**", "nothing to repeat"},
      {"^*", "nothing to repeat"},
      {"a{2,1}", "invalid quantifier braces"},
      {"[abc", "unterminated character class"},
      {"[z-a]", "invalid range"},
      {"\\", "pattern ends inside an escape"},
      {"(a)\\1", "back-references are not supported"},
      {"\\1(a)", "back-references are not supported"},
      {"(a)(b)(c)\\3", "back-references are not supported"},
      {"{2}", "nothing to repeat"},
      {"a{2}{3}", "nothing to repeat"},
      {"a{1,}{2,3}", "nothing to repeat"},
      {"(?<n>a)", "unsupported group syntax"},
      {std::string(1025, 'a'), "longer than 1024 bytes"},
      {std::string(65, '(') + std::string(65, ')'), "nested deeper than 64"},
      {"a{5000}", "more than 5000 instructions"},  // and the match
      {"(?:(?:a{100}){100}){100}", "more than 5000 instructions"},
      {"(?:(?:(?:){1000}){1000}){1000}", "more than 5000 instructions"},
      {"(?=a{3000})(?=b{3000})", "more than 5000 instructions"},  // lookaheads count too
  };
  for (const Case& c : cases) EXPECT_THAT(RefusalOf(c.pattern), HasSubstr(c.why)) << c.pattern;
  EXPECT_EQ(RefusalOf(std::string(1024, 'a')), "<accepted>");
  EXPECT_EQ(RefusalOf("a{4999}"), "<accepted>");
  EXPECT_EQ(RefusalOf("(?=a{2000})(?=a{2000})x"), "<accepted>") << "one program for both";
  EXPECT_EQ(RefusalOf(std::string(64, '(') + std::string(64, ')')), "<accepted>");
}

// Forms the web-compatibility grammar accepts that a strict parser refuses:
// legacy octal escapes, decimal escapes without that many groups, a '{' that
// opens no quantifier, identity escapes, a lone backslash before 'c', class
// ranges with a class escape at one end, quantified lookaheads. Expected
// results are what an ECMAScript engine gives (bytes here, so \377 is the
// byte 0xFF and \uD83D\uDE00 the UTF-8 of U+1F600).
TEST(BoundedRegexTest, WebCompatibilityFormsMatchAsInECMAScript) {
  struct Case {
    std::string pattern;
    std::string text;
    bool matches;
  } cases[] = {
      {R"(\00)", std::string("a\0b", 3), true},
      {R"(\00)", "00", false},
      {R"(\00)", "0", false},
      {R"(^\08$)", std::string("\0" "8", 2), true},
      {R"(^\377$)", "\xff", true},  // bytes: the one byte 0xFF
      {R"(^\400$)", " 0", true},
      {R"(^\1$)", "\x01", true},
      {R"(^\1$)", "1", false},
      {R"(^\10$)", "\x08", true},
      {R"((a)\2)", "a\x02", true},
      {R"(^\8$)", "8", true},
      {R"(^\9\9$)", "99", true},
      {R"(a{)", "a{", true},
      {R"(a{)", "a", false},
      {R"({-b)", "x{-b", true},
      {R"(^a{x}$)", "a{x}", true},
      {R"(^a{2$)", "a{2", true},
      {R"(^a{,3}$)", "a{,3}", true},
      {R"(^a{2}{x$)", "aa{x", true},
      {R"(^}{$)", "}{", true},
      {R"(^\q$)", "q", true},
      {R"(^\q$)", "\\q", false},
      {R"(^\k$)", "k", true},
      {R"(^\e\a$)", "ea", true},
      {R"(^\x4$)", "x4", true},
      {R"(^\u12$)", "u12", true},
      {R"(^\u{2}$)", "uu", true},
      {R"(^\p{L}$)", "p{L}", true},
      {R"(^\c1$)", "\\c1", true},
      {R"(^\c$)", "\\c", true},
      {R"(^[\c1]$)", "\x11", true},
      {R"(^[\c_]$)", "\x1f", true},
      {R"(^[\c*]+$)", "\\c*", true},
      {R"(^[\d-z]+$)", "1-z", true},
      {R"(^[\d-z]$)", "m", false},
      {R"(^[a-\d]+$)", "a-5", true},
      {R"(^[\B\q]+$)", "Bq", true},
      {R"(^[\1]$)", "\x01", true},
      {R"(^[\8]$)", "8", true},
      {R"(^\-$)", "-", true},
      {R"((?=a)*b)", "b", true},
      {R"(^(?!a)+b)", "b", true},
      {R"(^\uD83D\uDE00$)", "\xf0\x9f\x98\x80", true},
      {R"(\/)", "a/b", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RefusalOf(c.pattern), "<accepted>") << c.pattern;
    EXPECT_EQ(BoundedRegex(c.pattern).Search(c.text), c.matches)
        << "/" << c.pattern << "/ on \"" << c.text << "\"";
  }
}

// Lookaheads, nested and quantified, against the standard library's
// engine on every short text over {a, b, c}; each also with lookahead
// answers kept in blocks of a few positions, which takes the second pass
// from saved states.
TEST(BoundedRegexTest, LookaheadsAgreeWithStdRegexInAnyBlockSize) {
  const std::vector<std::string> patterns = {
      "(?=a)", "(?!a)", "a(?=b)", "a(?!b)c?", "(?=.*c)a", "(?!.*c)^a", "^(?=(?=a)ab)a",
      "(?=a(?!b))a", "(?=(a|b)*c)b", "\\b(?=a)", "(?=a$)", "(?=$)", "(?=^a)", "(?!)",
      "(?:(?=a)a|b)+c", "(?=a)(?=ab)(?!abc)", "(?=.*a)(?=.*b)(?=.*c)", "a(?=(?!b)c)",
      "(?=(?:a|bc)*$)b", "(?=(?=(?=c)))c+(?!a)$"};
  std::vector<std::string> texts = {""};
  for (size_t length = 1; length <= 6; ++length) {
    const size_t first = texts.size();
    for (size_t i = 0; i < first; ++i) {
      if (texts[i].size() != length - 1) continue;
      for (char c : {'a', 'b', 'c'}) texts.push_back(texts[i] + c);
    }
  }
  for (const std::string& p : patterns) {
    const std::regex reference(p, std::regex::ECMAScript);
    const BoundedRegex re(p);
    for (const std::string& t : texts) {
      const bool expected = std::regex_search(t, reference);
      EXPECT_EQ(re.Search(t), expected) << "/" << p << "/ on \"" << t << "\"";
      for (size_t block_bytes : {8, 16, 24}) {
        EXPECT_EQ(re.Search(t, block_bytes), expected)
            << "/" << p << "/ on \"" << t << "\" in blocks of " << block_bytes << " bytes";
      }
    }
  }
}

std::string Repeated(const std::string& part, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += part;
  return out;
}

// Lookaheads over long texts: each is decided by one pass, so these finish
// at once (the benchmark holds the times).
TEST(BoundedRegexTest, LookaheadsOverLongTexts) {
  const std::string as(200000, 'a');
  std::string many;  // 100 distinct lookaheads, the last one failing
  for (int i = 0; i < 100; ++i) {
    many += "(?=.*" + std::to_string(i % 10) + "x" + std::to_string(i / 10) + ")";
  }
  std::string digits;
  for (int i = 0; i < 10; ++i) {
    for (int j = 0; j < 10; ++j) digits += std::to_string(i) + "x" + std::to_string(j) + " ";
  }
  const std::string missing = digits.substr(0, digits.size() - 5);  // no "9x9"
  struct Case {
    std::string pattern;
    std::string text;
    bool matches;
  } cases[] = {
      {"(?=.*z)x", as + "x" + as, false},
      {"(?=.*z)x", as + "x" + as + "z", true},
      {"(?!.*a)", as, true},  // at the end
      {"^(?!.*a)", as, false},
      {"(?=(?:a|b)*c)a{3}", as + "c", true},
      {Repeated("(?=)", 255) + "b", as, false},  // one program for all 255
      {many, as + digits + as, true},
      {"^" + many, as + missing + as, false},
      {Repeated("(?=a*)", 100) + "$", as, true},
  };
  for (const Case& c : cases) {
    const BoundedRegex re(c.pattern);
    EXPECT_EQ(re.Search(c.text), c.matches) << c.pattern.substr(0, 40);
    EXPECT_EQ(re.Search(c.text, 4096), c.matches) << c.pattern.substr(0, 40) << " in blocks";
  }
}

// A text that never brings the automaton back to a state it has seen fills
// the remembered states again and again; the automaton then only simulates.
// Answers must not change on the way.
TEST(BoundedRegexTest, StatesThatNeverComeBackKeepTheirAnswers) {
  std::mt19937 rng(3);
  std::string random(300000, 'a');
  for (char& c : random) c = "ab"[rng() & 1];
  // A match needs an 'a' exactly 301 bytes before the 'z'.
  std::string tail_a(302, 'b'), tail_b(302, 'b');
  tail_a.front() = 'a';
  tail_a.back() = tail_b.back() = 'z';
  const BoundedRegex re("[ab]*a[ab]{300}z");
  EXPECT_FALSE(re.Search(random + tail_b));
  EXPECT_TRUE(re.Search(random + tail_a));
  EXPECT_TRUE(re.Search(tail_a + random));
  const BoundedRegex look("(?=[ab]*a[ab]{300}z)b");
  EXPECT_TRUE(look.Search(random + tail_a));
  EXPECT_FALSE(look.Search(random + tail_b));
}

// Runs fn on a thread with a small stack, so that any recursion that grows
// with the pattern or the text would overflow it.
void RunOnSmallStack(const std::function<void()>& fn) {
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, 512 * 1024), 0);
  pthread_t thread;
  auto trampoline = [](void* arg) -> void* {
    (*static_cast<const std::function<void()>*>(arg))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, trampoline, const_cast<std::function<void()>*>(&fn)), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
}

TEST(BoundedRegexTest, PathologicalPatternsStayFastAndShallow) {
  const std::string as(20000, 'a');
  struct Case {
    std::string pattern;
    std::string text;
    bool matches;
  } cases[] = {
      {"(a*)*b", as, false},                           // exponential for a backtracker
      {"(a|aa)+$", as + "b", false},
      {"(?:a?){500}a{500}", std::string(500, 'a'), true},
      {"(?:\\b){4000}x", "x", true},                   // long chains of empty steps
      {"(?:(?:)*){2000}x", "yx", true},
      {"^(?:a|b|ab)*c", std::string(5000, 'a') + "b", false},
      {std::string(64, '(') + "a" + std::string(64, ')') + "+$", as, true},
      {"(?=(?=(?=a)))a+(?!b)$", as, true},
      {"(?:.*(?=a)){8}z", std::string(2000, 'a'), false},
  };
  RunOnSmallStack([&] {
    for (const Case& c : cases) {
      const BoundedRegex re(c.pattern);
      EXPECT_EQ(re.Search(c.text), c.matches) << c.pattern;
    }
  });
}

TEST(BoundedRegexTest, MatchesUtf8AndRawBytes) {
  EXPECT_TRUE(BoundedRegex("caf\\u00e9").Search("un caf\xc3\xa9"));
  EXPECT_TRUE(BoundedRegex("^.{5}$").Search("caf\xc3\xa9"));  // bytes, not characters
  EXPECT_TRUE(BoundedRegex("\\xff").Search("\xff"));
  EXPECT_TRUE(BoundedRegex("a\\cJb").Search("a\nb"));  // control letter mod 32
  EXPECT_THAT(RefusalOf("[\\u00e9]"), HasSubstr("non-ASCII"));
}

}  // namespace
}  // namespace nivora
