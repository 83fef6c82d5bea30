// Compiling and matching the two patterns of the HTTP rewriting, as it uses them: case
// folding on, one object per line. Typical request, Host and Referer lines, and lines of
// 1 MiB (the longest line a session takes).
#include <benchmark/benchmark.h>

#include <string>

#include "regexp/RegMatcher.h"

namespace {

constexpr const char16_t* kRequestPattern = u"^(GET|POST) (.*) HTTP/.*";
constexpr const char16_t* kHostPattern = u"^(.*)(localhost)(.*)";
constexpr std::size_t kMiB = 1 << 20;

const std::u16string& RequestLine() {
    static const std::u16string str = u"GET /products/index.html?id=42&lang=en HTTP/1.1";
    return str;
}
const std::u16string& HostLine() {
    static const std::u16string str = u"Host: localhost:8080";
    return str;
}
const std::u16string& RefererLine() {
    static const std::u16string str = u"Referer: http://localhost:8080/products/list.html";
    return str;
}
// "GET /aaaa... HTTP/1.1", 1 MiB in all.
const std::u16string& LongRequestLine() {
    static const std::u16string str = u"GET /" + std::u16string(kMiB - 14, u'a') + u" HTTP/1.1";
    return str;
}
// A 1 MiB line that looks like a request without its version: every split is tried.
const std::u16string& LongRequestLineNoVersion() {
    static const std::u16string str = u"GET /" + std::u16string(kMiB - 5, u' ');
    return str;
}
// A 1 MiB Referer line with the host near its start: the greedy first group backtracks
// over almost all of it.
const std::u16string& LongRefererLine() {
    static const std::u16string str =
        u"Referer: http://localhost:8080/" + std::u16string(kMiB - 31, u'a');
    return str;
}

void BM_Compile(benchmark::State& state, const char16_t* pszPattern) {
    for (auto _ : state) {
        CRegMatcher re(pszPattern, true);
        benchmark::DoNotOptimize(re.IsCompiled());
    }
}
BENCHMARK_CAPTURE(BM_Compile, request_pattern, kRequestPattern);
BENCHMARK_CAPTURE(BM_Compile, host_pattern, kHostPattern);

// Compile and match once per line, as the rewriting does.
void BM_CompileAndMatch(benchmark::State& state, const char16_t* pszPattern,
                        const std::u16string& (*pLine)()) {
    const std::u16string& strLine = pLine();
    for (auto _ : state) {
        CRegMatcher re(pszPattern, true);
        if (!re.Match(strLine)) {
            state.SkipWithError("no match");
            break;
        }
        benchmark::DoNotOptimize(re.GetSubCount());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(strLine.size() * sizeof(char16_t)));
}
BENCHMARK_CAPTURE(BM_CompileAndMatch, request_line, kRequestPattern, RequestLine);
BENCHMARK_CAPTURE(BM_CompileAndMatch, host_line, kHostPattern, HostLine);
BENCHMARK_CAPTURE(BM_CompileAndMatch, referer_line, kHostPattern, RefererLine);

// Matching alone, with one compiled object.
void BM_Match(benchmark::State& state, const char16_t* pszPattern, const std::u16string& (*pLine)(),
              bool bMatches = true) {
    const std::u16string& strLine = pLine();
    CRegMatcher re(pszPattern, true);
    for (auto _ : state) {
        if (re.Match(strLine) != bMatches || !re.GetErrorText().empty()) {
            state.SkipWithError("unexpected result");
            break;
        }
        benchmark::DoNotOptimize(re.GetSubLength(2));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(strLine.size() * sizeof(char16_t)));
}
BENCHMARK_CAPTURE(BM_Match, request_line, kRequestPattern, RequestLine);
BENCHMARK_CAPTURE(BM_Match, host_line, kHostPattern, HostLine);
BENCHMARK_CAPTURE(BM_Match, referer_line, kHostPattern, RefererLine);
BENCHMARK_CAPTURE(BM_Match, request_line_1MiB, kRequestPattern, LongRequestLine)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Match, request_line_1MiB_no_version, kRequestPattern, LongRequestLineNoVersion,
                  false)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Match, referer_line_1MiB, kHostPattern, LongRefererLine)
    ->Unit(benchmark::kMillisecond);

// The rewriting's conversion at the boundary: wide line in, wide group out.
void BM_MatchWide(benchmark::State& state) {
    const std::wstring strLine = L"Referer: http://localhost:8080/products/list.html";
    CRegMatcher re(kHostPattern, true);
    for (auto _ : state) {
        re.Match(strLine);
        benchmark::DoNotOptimize(re.GetSubString(3));
    }
}
BENCHMARK(BM_MatchWide);

}  // namespace

BENCHMARK_MAIN();
