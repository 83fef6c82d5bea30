// tapvane-cli: the relay without windows. The traffic log goes to the standard output (and
// a file), status lines and error messages to the standard error, trace lines too with
// --verbose.
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "BuildInfo.h"
#include "app/CliHar.h"
#include "app/CliOptions.h"
#include "app/CliReplay.h"
#include "app/ConsoleLog.h"
#include "app/HeadlessMainWindow.h"
#include "app/LogFileWriter.h"
#include "capture/ClientCount.h"
#include "capture/ServerUrl.h"
#include "capture/TlsSettings.h"
#include "capture/UnreachableServer.h"
#include "logdoc/PcapngWriter.h"
#include "module/MyModule.h"
#include "platform/OpenFileLimit.h"
#include "platform/TextConv.h"
#include "settings/RegKeyTalvex.h"
#include "support/SystemDescription.h"
#include "support/Trace.h"
#include "tls/CertAuthority.h"

namespace {

// The connection bar's list, to find the stored default entry.
class CServerChoice : public IServerList {
public:
    int AddText(const std::wstring& strText) override {
        std::size_t nPos = 0;
        while (nPos < m_entries.size() && CompareServerText(m_entries[nPos].strUrl, strText) <= 0) {
            ++nPos;
        }
        m_entries.insert(m_entries.begin() + static_cast<std::ptrdiff_t>(nPos), {strText, {}});
        return static_cast<int>(nPos);
    }
    void SetPorts(int nPosition, std::unique_ptr<ServerPorts> pPorts) override {
        if (nPosition >= 0 && static_cast<std::size_t>(nPosition) < m_entries.size() && pPorts) {
            m_entries[static_cast<std::size_t>(nPosition)].ports = *pPorts;
        }
    }
    void Select(int nPosition) override { m_nSelected = nPosition; }

    // The selected entry, if any.
    const std::pair<std::wstring, ServerPorts>* Selected() const {
        if (m_nSelected < 0 || static_cast<std::size_t>(m_nSelected) >= m_entries.size()) {
            return nullptr;
        }
        const auto& e = m_entries[static_cast<std::size_t>(m_nSelected)];
        m_selected = {e.strUrl, e.ports};
        return &m_selected;
    }

private:
    struct CEntry {
        std::wstring strUrl;
        ServerPorts ports;
    };
    std::vector<CEntry> m_entries;
    int m_nSelected = -1;
    mutable std::pair<std::wstring, ServerPorts> m_selected;
};

// The console log, with the relay's records also written as a packet capture when one is
// asked for.
class CCliLog : public ILogSink {
public:
    CCliLog(ILogSink& console, CPcapngWriter* pPcap, CCliHar* pHar = nullptr)
        : m_console(console), m_pPcap(pPcap), m_pHar(pHar) {}
    // Any thread, module lock held (which orders the calls).
    void AppendLog(std::wstring_view text, int nStyle) override {
        m_console.AppendLog(text, nStyle);
    }
    void AppendLogBytes(std::string_view bytes, int nStyle) override {
        m_console.AppendLogBytes(bytes, nStyle);
    }
    void AppendLogUtf8(std::string_view text, int nStyle) override {
        m_console.AppendLogUtf8(text, nStyle);
    }
    void OnLogRecord(const CLogRecord& record) override {
        if (m_pPcap != nullptr) {
            m_pPcap->OnRecord(record);
        }
        if (m_pHar != nullptr) {
            m_pHar->OnRecord(record);
        }
    }

private:
    ILogSink& m_console;
    CPcapngWriter* m_pPcap;
    CCliHar* m_pHar;
};

int Fail(const std::string& strMessage, int nCode, bool bHint = false) {
    std::fprintf(stderr, "tapvane-cli: %s\n", strMessage.c_str());
    if (bHint) {
        std::fputs("Try tapvane-cli --help.\n", stderr);
    }
    return nCode;
}

// Exit statuses beyond 0 (stopped), 1 (listening failed) and 2 (bad options).
constexpr int kExitLogIncomplete = 3;
constexpr int kExitInterrupted = 130;

// How long the first Ctrl-C waits for the sessions to end before leaving them.
constexpr auto kStopTimeout = std::chrono::seconds(5);
// How long a second Ctrl-C lets each log output take what it has been given.
constexpr auto kFinalFlushTimeout = std::chrono::milliseconds(1000);

// Whether `fd` is the null device (`--log FILE >/dev/null`).
bool IsNullDevice(int fd) {
    struct stat out {};
    struct stat null {};
    return ::fstat(fd, &out) == 0 && S_ISCHR(out.st_mode) && ::stat("/dev/null", &null) == 0 &&
           out.st_rdev == null.st_rdev;
}

void ReportToStderr(const std::string& strText) {
    std::fprintf(stderr, "tapvane-cli: %s\n", strText.c_str());
}

// The log's outputs: the standard output, with --log the file, with --pcap the capture,
// with --har the archive.
struct CLogOutputs {
    CLogFileWriter* writers[4] = {nullptr, nullptr, nullptr, nullptr};

    void StopWaiting() {
        for (CLogFileWriter* p : writers) {
            if (p != nullptr) {
                p->StopWaiting();
            }
        }
    }
    // Writes what every output has been given, each for a bounded time; whether all of it
    // was written and nothing was left out before.
    bool FlushAll() {
        bool bComplete = true;
        for (CLogFileWriter* p : writers) {
            if (p == nullptr) {
                continue;
            }
            if (!p->Flush(kFinalFlushTimeout)) {
                ReportToStderr("ended at once: the log is incomplete, " + p->Name() +
                               " did not take all of it");
                bComplete = false;
            } else if (p->LostBytes() > 0) {
                bComplete = false;
            }
        }
        return bComplete;
    }
    // After Close: says which output is incomplete; whether all are complete.
    bool ReportIncomplete() {
        bool bComplete = true;
        for (CLogFileWriter* p : writers) {
            if (p != nullptr && !p->IsComplete()) {
                bComplete = false;
                const std::uint64_t nLost = p->LostBytes();
                ReportToStderr("the log is incomplete: " +
                               (nLost > 0 ? std::to_string(nLost) + " bytes are missing from "
                                          : std::string("it may miss the end of ")) +
                               p->Name());
            }
        }
        return bComplete;
    }
};

std::string SessionsText(long nSessions) {
    return nSessions == 1 ? "1 session" : std::to_string(nSessions) + " sessions";
}

// Stores the options that are settings, as the options page's OK would, and fills in what
// the command line leaves open from the stored default server entry.
bool ApplySettings(CCliOptions& options, std::string& strError) {
    // A replay listens nowhere: the local port is only needed for the connection bar.
    if (options.strReplayFile && !options.nLocalPort) {
        options.nLocalPort = 1;
    }
    CRegKeyTalvex settings;
    settings.AddDefaultServers();
    if (options.bReplaceHost) {
        settings.SetReplaceHostHeader(*options.bReplaceHost);
    }
    if (options.bSaveResponse) {
        settings.SetSaveResponse(*options.bSaveResponse);
    }
    if (options.strDataFolder) {
        settings.SetDataFolder(options.strDataFolder->c_str());
    }
    if (options.strBind) {
        settings.SetListenAddress(options.strBind->c_str());
    }
    // A port in the URL ("http://127.0.0.1:28080/page") is the server's unless one is given.
    const auto fillPortFromUrl = [&options] {
        if (!options.nRemotePort && options.strUrl) {
            if (const std::optional<CServerUrl> server = ParseServerUrl(*options.strUrl);
                server && server->nPort > 0) {
                options.nRemotePort = server->nPort;
            }
        }
    };
    fillPortFromUrl();
    if (options.strUrl && options.nLocalPort && options.nRemotePort) {
        return true;
    }
    CServerChoice choice;
    settings.LoadServers(choice);
    const auto* pEntry = choice.Selected();
    if (pEntry != nullptr) {
        if (!options.strUrl) {
            // An entry without a host (the built-in "ftp://") names no server.
            if (!ParseServerUrl(pEntry->first)) {
                strError = "no server given: give --url HOST (the stored default entry \"" +
                           win::WideToAnsi(pEntry->first) + "\" names no host)";
                return false;
            }
            options.strUrl = pEntry->first;
            fillPortFromUrl();
        }
        if (!options.nLocalPort && pEntry->second.nPort != 0) {
            options.nLocalPort = static_cast<int>(pEntry->second.nPort);
        }
        if (!options.nRemotePort) {
            const DWORD nRemote =
                pEntry->second.nPortRemote != 0 ? pEntry->second.nPortRemote : pEntry->second.nPort;
            if (nRemote != 0) {
                options.nRemotePort = static_cast<int>(nRemote);
            }
        }
    }
    if (!options.strUrl || options.strUrl->empty()) {
        strError = "no server given and no stored default entry: give --url HOST";
        return false;
    }
    if (!options.nLocalPort || !options.nRemotePort) {
        strError = std::string("no ") + (options.nLocalPort ? "remote" : "local") +
                   " port given and none stored for this server: give " +
                   (options.nLocalPort ? "--remote-port N" : "--local-port N");
        return false;
    }
    return true;
}

// The TLS settings for this run: the stored ones with the command line's on top. The engine
// is made at once, so that a key log that cannot be opened is said before listening.
bool ApplyTlsOptions(const CCliOptions& options, std::string& strError) {
    tls::CTlsConfig config = CurrentTlsConfig();
    if (options.serverTls) {
        config.serverTls = *options.serverTls;
    }
    if (options.clientTls) {
        config.clientTls = *options.clientTls;
    }
    config.bAcceptAnyServerCert = config.bAcceptAnyServerCert || options.bInsecure;
    config.passthrough.insert(config.passthrough.end(), options.tlsPassthrough.begin(),
                              options.tlsPassthrough.end());
    if (options.strKeyLogFile) {
        config.strKeyLogFile = *options.strKeyLogFile;
    }
    SetTlsConfigOverride(config);
    try {
        CurrentTlsEngine();
    } catch (const tls::CTlsError& e) {
        strError = e.what();
        return false;
    }
    return true;
}

// --export-ca: the certificate of the authority (made first when there is none) as PEM.
int ExportCa(const std::string& strFile) {
    try {
        const std::shared_ptr<tls::CCertAuthority> authority =
            tls::CCertAuthority::Open(tls::CCertAuthority::DefaultFolder());
        const std::string strPem = authority->Pem();
        std::FILE* pFile = std::fopen(strFile.c_str(), "wb");
        if (pFile == nullptr) {
            return Fail("cannot write " + strFile + ": " + std::strerror(errno), 2);
        }
        const bool bWritten = std::fwrite(strPem.data(), 1, strPem.size(), pFile) == strPem.size();
        const int nWriteErrno = errno;
        if (std::fclose(pFile) != 0 || !bWritten) {
            return Fail(
                "cannot write " + strFile + ": " + std::strerror(bWritten ? errno : nWriteErrno),
                2);
        }
        std::fprintf(stderr, "%s\nSHA-256 %s\nwritten to %s\n", authority->Name().c_str(),
                     authority->Fingerprint().c_str(), strFile.c_str());
        return 0;
    } catch (const tls::CTlsError& e) {
        return Fail(e.what(), 2);
    }
}

}  // namespace

int main(int argc, char** argv) {
    CCliOptions options;
    std::string strError;
    if (!ParseCliOptions(argc, argv, options, strError)) {
        return Fail(strError, 2, true);
    }
    if (options.bHelp) {
        std::fputs(kCliUsage, stdout);
        return 0;
    }
    if (options.bVersion) {
        // The program and its version first, as tools do; then the About box's text.
        std::string strText = win::WideToAnsi(GetVersionText());
        std::erase(strText, '\r');
        std::printf("tapvane-cli %s\n%s\n", TAPVANE_VERSION_STRING, strText.c_str());
        return 0;
    }
    if (options.strExportCa) {
        return ExportCa(*options.strExportCa);
    }

    // Every thread started from here on leaves SIGINT and SIGTERM to the control thread.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    // A closed pipe or a file size limit is an error of the write, reported; not the end.
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
    SetTraceOutput(stderr);
    SetTraceStreamOn(options.bVerbose);
    // Every session holds descriptors: the usual soft limit of 1,024 would refuse clients
    // long before the hard limit does.
    Trace(L"%s", win::DescribeOpenFileLimit(win::RaiseOpenFileLimit()));
    std::unique_ptr<CLogFileWriter> pFileWriter;
    if (options.strLogFile) {
        pFileWriter = CLogFileWriter::Open(*options.strLogFile, ReportToStderr, strError);
        if (!pFileWriter) {
            return Fail(strError, 2);
        }
    }
    // The capture goes to the disk as the log file does: in batches from a thread of its
    // own, at least every few milliseconds, so a killed run leaves it readable up to
    // about its last block.
    CPcapngWriter pcap;
    std::unique_ptr<CLogFileWriter> pPcapWriter;
    if (options.strPcapFile) {
        CLogWriterLimits limits;
        limits.bNoteGaps = false;  // a line of text would break the capture's blocks
        pPcapWriter = CLogFileWriter::Open(*options.strPcapFile, ReportToStderr, strError, limits,
                                           "capture file");
        if (!pPcapWriter) {
            return Fail(strError, 2);
        }
        pcap.Open([p = pPcapWriter.get()](std::string_view bytes) { p->Append(bytes); });
    }
    // The archive's entries go to the disk as they end; it is finished when the run stops.
    std::unique_ptr<CCliHar> pHar;
    if (options.strHarFile) {
        pHar = CCliHar::Open(*options.strHarFile, ReportToStderr, strError);
        if (!pHar) {
            return Fail(strError, 2);
        }
    }
    std::vector<CTcpStream> replayStreams;
    if (options.strReplayFile) {
        std::string strWarning;
        if (!LoadCaptureSessions(*options.strReplayFile, replayStreams, strWarning, strError)) {
            return Fail(strError, 2);
        }
        if (!strWarning.empty()) {
            ReportToStderr(strWarning);
        }
    }
    try {
        if (!ApplySettings(options, strError)) {
            return Fail(strError, 2, true);
        }
        if (!ApplyTlsOptions(options, strError)) {
            return Fail(strError, 2);
        }
        SetActiveNetConditions(options.netConditions);
        if (options.netConditions.IsActive()) {
            std::fprintf(stderr, "Network conditions on: %s\n",
                         DescribeNetConditions(options.netConditions).c_str());
        }
    } catch (...) {
        return Fail(win::WideToAnsi(TakeCaughtText(L"Unhandled exception!")), 1);
    }

    // A standard output that goes to the null device gets no writer: the log's text would be
    // made for nobody, at the cost of a second conversion beside the log file's.
    std::optional<CLogFileWriter> outWriter;
    if (!IsNullDevice(STDOUT_FILENO)) {
        outWriter.emplace(STDOUT_FILENO, false, "the standard output", ReportToStderr);
    }
    CLogOutputs outputs;
    outputs.writers[0] = outWriter ? &*outWriter : nullptr;
    outputs.writers[1] = pFileWriter.get();
    outputs.writers[2] = pPcapWriter.get();
    outputs.writers[3] = pHar ? &pHar->Writer() : nullptr;
    CConsoleLog log(outputs.writers[0], ::isatty(STDOUT_FILENO) != 0, pFileWriter.get());
    CCliLog cliLog(log, options.strPcapFile ? &pcap : nullptr, pHar.get());
    CHeadlessMainWindow window(cliLog);
    window.SetStatusLinesObserver([](const std::string& strLines) {
        std::fwrite(strLines.data(), 1, strLines.size(), stderr);
        std::fflush(stderr);
    });
    window.SetConnectionSettings(*options.strUrl, *options.nLocalPort, *options.nRemotePort);
    g_Module.SetMainWindow(&window);
    // Nobody is there to press Listen again: a server that cannot be reached fails its
    // session (the client is reset, the log says why) and listening goes on.
    SetKeepListeningAlways(true);

    std::atomic<int> nExitCode{0};
    std::atomic<bool> bEnded{false};
    // Control thread: a second signal, at any time after the first, ends the program at once
    // with what the log has been given written out.
    const auto interruptNow = [&outputs, &pHar] {
        if (pHar) {
            pHar->Finish();
        }
        std::_Exit(outputs.FlushAll() ? kExitInterrupted : kExitLogIncomplete);
    };
    const timespec tick{0, 20 * 1000 * 1000};
    // With --replay: the capture's sessions in turn, then the end of the run.
    const auto runReplay = [&] {
        CCliReplaySettings settings;
        settings.strServer = *options.strUrl;
        settings.nPort = *options.nRemotePort;
        settings.timing = options.bReplayRecorded ? ReplayTiming::Recorded : ReplayTiming::Quiet;
        if (options.nReplayQuietMs) {
            settings.quiet = std::chrono::milliseconds(*options.nReplayQuietMs);
        }
        const std::string& strFile = *options.strReplayFile;
        settings.strCaptureName = strFile.substr(strFile.find_last_of('/') + 1);
        std::fprintf(stderr, "Replaying %s of %s to %s port %d. Ctrl-C stops.\n",
                     SessionsText(static_cast<long>(replayStreams.size())).c_str(), strFile.c_str(),
                     win::WideToAnsi(settings.strServer).c_str(), settings.nPort);
        const CCliReplayOutcome outcome = ReplayCaptureSessions(
            replayStreams, settings, [&] { return sigtimedwait(&signals, nullptr, &tick) > 0; },
            ReportToStderr);
        std::fprintf(stderr, "Replayed %s: %zu completed.\n",
                     SessionsText(static_cast<long>(outcome.nSessions)).c_str(),
                     outcome.nCompleted);
        nExitCode = outcome.bStopped                          ? kExitInterrupted
                    : outcome.nCompleted == outcome.nSessions ? 0
                                                              : kExitReplayIncomplete;
        window.Quit(nExitCode);
    };
    std::thread control([&] {
        if (options.strReplayFile) {
            runReplay();
            return;
        }
        g_Module.ToggleListening(true);
        window.SendMessage(UM_REFRESH_TITLE, 0, 0);  // returns once the Listen command ran
        if (!window.IsListening()) {
            nExitCode = 1;  // the reason is on the standard error already
            window.Quit(1);
            return;
        }
        std::fprintf(stderr, "Listening on port %d, relaying to %s port %d. Ctrl-C stops.\n",
                     *options.nLocalPort, win::WideToAnsi(*options.strUrl).c_str(),
                     *options.nRemotePort);
        while (!bEnded && sigtimedwait(&signals, nullptr, &tick) <= 0) {
        }
        if (bEnded) {
            return;
        }
        std::fprintf(stderr, "Stopping %s; Ctrl-C again ends at once.\n",
                     SessionsText(window.GetSessionCount()).c_str());
        // The threads that still log must not wait for a slow terminal or disk now.
        outputs.StopWaiting();
        // As closing the main window: stop listening and every session, then leave.
        g_Module.CloseMainWindow();
        const auto deadline = std::chrono::steady_clock::now() + kStopTimeout;
        // (The window may also end the run itself, when the last client connection ends.)
        while (!bEnded &&
               (window.IsListening() || window.GetSessionCount() > 0 || g_nClientsCount > 0)) {
            if (sigtimedwait(&signals, nullptr, &tick) > 0) {
                interruptNow();
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                std::fprintf(stderr, "tapvane-cli: %s did not end within %d s; leaving them.\n",
                             SessionsText(window.GetSessionCount()).c_str(),
                             static_cast<int>(kStopTimeout.count()));
                break;
            }
        }
        window.Quit(0);
        // The rest of the log is being written meanwhile; a second signal cuts that short.
        while (!bEnded) {
            if (sigtimedwait(&signals, nullptr, &tick) > 0) {
                interruptNow();
            }
        }
    });
    window.Run();
    if (outWriter) {
        outWriter->Close();
    }
    if (pFileWriter) {
        pFileWriter->Close();
    }
    if (pPcapWriter) {
        pPcapWriter->Close();
    }
    if (pHar) {
        pHar->Finish();
        pHar->Writer().Close();
    }
    bEnded = true;
    control.join();
    if (!outputs.ReportIncomplete()) {
        nExitCode = kExitLogIncomplete;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    // Sessions that are still ending must not race the process's own clean-up.
    std::_Exit(nExitCode);
}
