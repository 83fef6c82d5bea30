// The cost of one settings read and one settings write on an existing key. Sessions read
// "Save Response" for every block they relay, so the read must stay cheap.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "platform/Registry.h"
#include "settings/RegKeyTalvex.h"

namespace {

// A registry of the benchmarks' own in a temporary folder, removed at the end.
class CBenchRegistry {
public:
    CBenchRegistry() {
        std::string strTemplate =
            (std::filesystem::temp_directory_path() / "tapvane-bench-XXXXXX").string();
        if (::mkdtemp(strTemplate.data()) != nullptr) {
            m_strFolder = strTemplate;
            ::setenv("XDG_CONFIG_HOME", m_strFolder.c_str(), 1);
        }
        CRegKeyTalvex settings;
        settings.SetSaveResponse(true);
    }
    ~CBenchRegistry() {
        win::RegResetStoreConnections(false);
        std::error_code ec;
        if (!m_strFolder.empty()) {
            std::filesystem::remove_all(m_strFolder, ec);
        }
    }
    CBenchRegistry(const CBenchRegistry&) = delete;
    CBenchRegistry& operator=(const CBenchRegistry&) = delete;

private:
    std::string m_strFolder;
};

void BM_QueryDWORD(benchmark::State& state) {
    CRegKeyTalvex settings;
    for (auto _ : state) {
        benchmark::DoNotOptimize(settings.QueryDWORD(L"Save Response", 1));
    }
}
BENCHMARK(BM_QueryDWORD);
BENCHMARK(BM_QueryDWORD)->Threads(2)->UseRealTime();

void BM_SetDWORD(benchmark::State& state) {
    CRegKeyTalvex settings;
    DWORD dw = 0;
    for (auto _ : state) {
        settings.SetDWORD(L"Bench Value", dw++);
    }
}
BENCHMARK(BM_SetDWORD);

}  // namespace

int main(int argc, char** argv) {
    // Set up and removed around the runs: the registry is not for static destructors.
    const CBenchRegistry registry;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
