// Filters on hostile input: adversarial "$regex" patterns over long texts,
// summary merges of many distinct strings in one list, and long "$in"
// operands. Each case prints its own time beside a reference measured in the
// same run over the same data (a plain memchr scan of the text, std::sort of
// the same hashes, a std::unordered_set of the same operand) and the ratio;
// sizes grow by 10x so that linear (n log n for the merge) growth shows.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include <nlohmann/json.hpp>

#include "filters/bounded_regex.h"
#include "filters/filter_language.h"
#include "filters/item_filter.h"
#include "filters/metadata_summary.h"

namespace nivora {
namespace {

using json = nlohmann::json;

template <typename Fn>
double Seconds(Fn&& fn) {
  const auto start = std::chrono::steady_clock::now();
  fn();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Sets the reference time and the ratio of the measured time to it.
void Report(benchmark::State& state, double seconds, double reference) {
  state.SetIterationTime(seconds);
  state.counters["ms"] = seconds * 1e3;
  state.counters["ref_ms"] = reference * 1e3;
  state.counters["ratio"] = reference > 0 ? seconds / reference : 0;
}

// Times one search of pattern over text, against a memchr scan of the same
// text for 'z' (which no text holds).
void TimeSearch(benchmark::State& state, const std::string& pattern, const std::string& text) {
  const BoundedRegex re(pattern);
  for (auto _ : state) {
    bool found = false;
    const double seconds = Seconds([&] { found = re.Search(text); });
    benchmark::DoNotOptimize(found);
    const double reference = Seconds([&] {
      benchmark::DoNotOptimize(std::memchr(text.data(), 'z', text.size()));
    });
    Report(state, seconds, reference);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
  state.SetLabel(pattern.substr(0, 30));
}

// Text of n bytes over a small alphabet, without 'z' (the lookahead's
// target is missing, the worst case for a rescanning matcher).
std::string AdversarialText(size_t n) {
  std::mt19937 rng(7);
  std::string text(n, 'a');
  for (char& c : text) c = "aaaabx01 "[rng() % 9];
  return text;
}

// count distinct lookaheads "(?=.*<two digits>)", then "x".
std::string ManyLookaheads(int count) {
  std::string pattern;
  for (int i = 0; i < count; ++i) {
    pattern += "(?=.*";
    pattern += static_cast<char>('0' + i / 10);
    pattern += static_cast<char>('0' + i % 10);
    pattern += ")";
  }
  return pattern + "x";
}

const std::vector<std::string>& Patterns() {
  static const std::vector<std::string> patterns = {
      "(?=.*z)x",                  // lookahead at every position
      ManyLookaheads(100),         // many distinct lookaheads
      "(?:a?){1000}z",             // counted repeat of an optional part
      "(a|aa|aaa)+$b",             // alternation under a loop
      "((a*)*)*(?=b{5,20}z)",      // nested quantifiers before a lookahead
      "\\b(?:x0|x1|ab|ba|1a|0b)+(?!a)\\d{30}",  // alternation, boundaries, counts
  };
  return patterns;
}

void BM_Regex(benchmark::State& state) {
  const std::string& pattern = Patterns()[static_cast<size_t>(state.range(0))];
  const std::string text = AdversarialText(static_cast<size_t>(state.range(1)));
  TimeSearch(state, pattern, text);
}
BENCHMARK(BM_Regex)
    ->ArgsProduct({{0, 1, 2, 3, 4, 5}, {10000, 100000, 1000000}})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// Texts that never bring the automaton back to a state (random a/b, the
// pattern counting from the last 'a'): the worst case, one simulation step
// per byte and active thread, so time grows with text x count.
void BM_RegexNoRevisit(benchmark::State& state) {
  const std::string pattern = "[ab]*a[ab]{" + std::to_string(state.range(0)) + "}z";
  std::mt19937 rng(5);
  std::string text(static_cast<size_t>(state.range(1)), 'a');
  for (char& c : text) c = "ab"[rng() & 1];
  TimeSearch(state, pattern, text);
}
BENCHMARK(BM_RegexNoRevisit)
    ->ArgsProduct({{20, 200}, {10000, 100000, 1000000}})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// The same through the filter path, one document holding the text.
void BM_RegexFilter(benchmark::State& state) {
  const std::string text = AdversarialText(static_cast<size_t>(state.range(0)));
  const FilterContext context = ParseMetadataDocuments({json{{"t", text}}.dump()});
  const json filter = ParseFilters(json{{"t", {{"$regex", "(?=.*z)x"}}}}.dump());
  for (auto _ : state) {
    const double seconds =
        Seconds([&] { benchmark::DoNotOptimize(EvaluateFilter(context, filter, true)); });
    const double reference = Seconds([&] {
      benchmark::DoNotOptimize(std::memchr(text.data(), 'z', text.size()));
    });
    Report(state, seconds, reference);
  }
}
BENCHMARK(BM_RegexFilter)
    ->Arg(10000)->Arg(100000)->Arg(1000000)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// n distinct strings in one centroid's list, merged into an empty store and
// then, half new, into the stored buffer.
void BM_MergeSummaries(benchmark::State& state) {
  const auto n = static_cast<size_t>(state.range(0));
  const auto lists = [](size_t from, size_t to) {
    FieldSummaryLists out;
    std::vector<CentroidSummary>& list = out["name"];
    list.reserve(to - from);
    for (size_t i = from; i < to; ++i) {
      CentroidSummary s;
      s.centroid_id = 3;
      s.min = kFullRangeMin;
      s.max = kFullRangeMax;
      s.value_hashes = {HashText("customer-" + std::to_string(i))};
      list.push_back(std::move(s));
    }
    return out;
  };
  const FieldSummaryLists first = lists(0, n);
  const FieldSummaryLists second = lists(n / 2, n + n / 2);
  const std::vector<std::string> names = {"name"};
  for (auto _ : state) {
    std::vector<std::vector<uint8_t>> stored;
    const double seconds = Seconds([&] {
      stored = MergeCentroidSummaries(names, {{}}, first);
      benchmark::DoNotOptimize(MergeCentroidSummaries(names, stored, second));
    });
    const double reference = Seconds([&] {
      for (const FieldSummaryLists* batch : {&first, &second}) {
        std::vector<uint32_t> hashes;
        hashes.reserve(n);
        for (const CentroidSummary& s : batch->at("name")) hashes.push_back(s.value_hashes[0]);
        std::sort(hashes.begin(), hashes.end());
        benchmark::DoNotOptimize(hashes.data());
      }
    });
    Report(state, seconds, reference);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(2 * n));
}
BENCHMARK(BM_MergeSummaries)
    ->Arg(10000)->Arg(100000)->Arg(1000000)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// A field array of n strings against an "$in" operand of n strings (one
// shared), in one document.
void BM_LongIn(benchmark::State& state) {
  const auto n = static_cast<size_t>(state.range(0));
  json field = json::array(), operand = json::array();
  for (size_t i = 0; i < n; ++i) {
    field.push_back("field-value-" + std::to_string(i));
    operand.push_back("operand-value-" + std::to_string(i));
  }
  operand.push_back("field-value-" + std::to_string(n - 1));
  const FilterContext context = ParseMetadataDocuments({json{{"f", field}}.dump()});
  const json filter = ParseFilters(json{{"f", {{"$in", operand}}}}.dump());
  for (auto _ : state) {
    const double seconds =
        Seconds([&] { benchmark::DoNotOptimize(EvaluateFilter(context, filter, true)); });
    const double reference = Seconds([&] {
      std::unordered_set<std::string> set;
      for (const json& e : operand) set.insert(e.get<std::string>());
      bool found = false;
      for (const json& v : field) found = found || set.count(v.get<std::string>()) > 0;
      benchmark::DoNotOptimize(found);
    });
    Report(state, seconds, reference);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(2 * n));
}
BENCHMARK(BM_LongIn)
    ->Arg(10000)->Arg(100000)->Arg(1000000)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace nivora
