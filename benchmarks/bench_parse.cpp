// The engineering-number parser against the runtime's strtod on the same set
// of parameter-like texts.
#include "parse/number.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cstdlib>

namespace {

constexpr std::array<const char*, 8> kTexts = {
    "2", "2.5k", "1E-3", "-32768", "4.7u", "3.3K", "12", "12345678901234567890"};

// strtod stops at a unit letter, so it reads the plain equivalents of the
// same numbers: the same digits with the unit letter written as an exponent.
// It thus does at least the work of the parser on every text.
constexpr std::array<const char*, 8> kPlainTexts = {
    "2", "2.5e3", "1E-3", "-32768", "4.7e-6", "3.3e3", "12", "12345678901234567890"};

void BM_ParseNumber(benchmark::State& state) {
    int32_t accepted = 0;
    for (auto _ : state) {
        for (const char* text : kTexts) {
            ParseNumber(text);
            accepted += gParseResult.isNumber;
            benchmark::DoNotOptimize(gParseResult.value);
        }
    }
    if (accepted != static_cast<int32_t>(state.iterations() * kTexts.size()))
        state.SkipWithError("a text was not read as a number");
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kTexts.size()));
}
BENCHMARK(BM_ParseNumber);

void BM_Strtod(benchmark::State& state) {
    int32_t accepted = 0;
    for (auto _ : state) {
        for (const char* text : kPlainTexts) {
            char* end = nullptr;
            double value = std::strtod(text, &end);
            accepted += *end == '\0' ? 1 : 0;
            benchmark::DoNotOptimize(value);
        }
    }
    if (accepted != static_cast<int32_t>(state.iterations() * kPlainTexts.size()))
        state.SkipWithError("strtod did not read a whole text");
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kPlainTexts.size()));
}
BENCHMARK(BM_Strtod);

} // namespace
