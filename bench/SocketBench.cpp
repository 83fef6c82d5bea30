// Throughput of the receive loop and the cost of the text work done per relayed block.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "../tests/SocketTestSupport.h"
#include "net/SocketTelnet.h"
#include "net/WinsockInit.h"
#include "platform/DebugOutput.h"
#include "platform/TextConv.h"
#include "platform/WinFormat.h"

namespace {

// Counts what its receive loop takes in, as a session does with its 1 MiB buffer.
class CCountingSocket : public CSocketTelnet {
public:
    CCountingSocket() : CSocketTelnet(TRUE, 1 << 20) {}
    void OnReceive(int nErrorCode) override {
        CheckReceiveError(nErrorCode);
        const int n = ReceiveData();
        if (n > 0) {
            std::lock_guard lock(m_mutex);
            m_nBytes += static_cast<std::size_t>(n);
            m_cv.notify_all();
        }
    }
    void OnThreadEnd() override {
        std::lock_guard lock(m_mutex);
        m_bEnded = true;
        m_cv.notify_all();
    }
    void WaitFor(std::size_t nBytes) {
        std::unique_lock lock(m_mutex);
        m_cv.wait(lock, [&] { return m_nBytes >= nBytes || m_bEnded; });
    }
    void WaitEnded() {
        std::unique_lock lock(m_mutex);
        m_cv.wait(lock, [&] { return m_bEnded; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::size_t m_nBytes = 0;
    bool m_bEnded = false;
};

void BM_ReceiveLoopThroughput(benchmark::State& state) {
    g_WinsockInit.Startup();
    CSocketBlocking listener(TRUE);
    listener.Create();
    listener.Bind(test::Loopback(0));
    listener.Listen();
    sockaddr_in addr{};
    listener.GetSockAddr(&addr);
    const int fd = test::ConnectPosix(ntohs(addr.sin_port));
    CCountingSocket s;
    sockaddr_in peer{};
    listener.Accept(s, &peer);
    listener.Close();
    s.StartThread();

    const std::string block = test::Pattern(static_cast<std::size_t>(state.range(0)));
    const std::size_t nPerIteration = 8u << 20;
    std::size_t nSent = 0;
    for (auto _ : state) {
        for (std::size_t n = 0; n < nPerIteration; n += block.size()) {
            test::SendAllPosix(fd, block);
            nSent += block.size();
        }
        s.WaitFor(nSent);
    }
    state.SetBytesProcessed(static_cast<int64_t>(nSent));
    ::close(fd);
    s.WaitEnded();
}
BENCHMARK(BM_ReceiveLoopThroughput)->Arg(1460)->Arg(16384)->Arg(262144)->UseRealTime();

void BM_AnsiToWide(benchmark::State& state) {
    std::string block(static_cast<std::size_t>(state.range(0)), 'a');
    if (state.range(1) != 0) {
        block = test::Pattern(block.size());  // binary: many bytes fall back to Windows-1252
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(win::AnsiToWide(block));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * block.size()));
}
BENCHMARK(BM_AnsiToWide)->Args({65536, 0})->Args({65536, 1});

void BM_FormatSocketError(benchmark::State& state) {
    const std::wstring strSystem =
        L"An existing connection was forcibly closed by the remote host.\r\n";
    for (auto _ : state) {
        benchmark::DoNotOptimize(win::FormatW(L"SOCKET ERROR: %s error = %d. %s",
                                              L"CSocketBlocking::Send(...).", 10054, strSystem));
    }
}
BENCHMARK(BM_FormatSocketError);

void BM_DebugOutputOff(benchmark::State& state) {
    win::SetDebugOutputTarget("");
    const std::wstring strText(1000, L'x');
    for (auto _ : state) {
        win::OutputDebugStringW(strText);
    }
}
BENCHMARK(BM_DebugOutputOff);

}  // namespace

BENCHMARK_MAIN();
