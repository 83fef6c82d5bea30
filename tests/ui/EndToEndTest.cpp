// The real main window relaying real connections: fields filled with keys, Listen pressed
// with the mouse, a loopback echo server of the test's own and plain clients.
#include <QFileDialog>
#include <QTimer>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "MainFrameFixture.h"
#include "TempFolder.h"
#include "capture/HttpTestSupport.h"
#include "capture/RelayFixture.h"
#include "logdoc/LogDocument.h"
#include "platform/TextConv.h"

namespace {

using test::PumpUntil;

class EndToEndTest : public test::PlainRelayFrameFixture {
protected:
    // Types the three fields in their tab order and presses Listen; the local port.
    std::uint16_t ListenWithKeys(std::uint16_t nServerPort) {
        const std::uint16_t nLocal = test::FreePort();
        QApplication::setActiveWindow(m_pFrame.get());
        QLineEdit* pUrlEdit = Bar().UrlBox()->lineEdit();
        Bar().UrlBox()->setFocus();
        EXPECT_TRUE(PumpUntil([&] { return Bar().UrlBox()->hasFocus(); }, 2000));
        pUrlEdit->selectAll();
        QTest::keyClicks(pUrlEdit, QStringLiteral("127.0.0.1"));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(Bar().LocalPortField(), QApplication::focusWidget());
        Bar().LocalPortField()->selectAll();
        QTest::keyClicks(QApplication::focusWidget(), QString::number(nLocal));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(Bar().RemotePortField(), QApplication::focusWidget());
        Bar().RemotePortField()->selectAll();
        QTest::keyClicks(QApplication::focusWidget(), QString::number(nServerPort));
        EXPECT_TRUE(ListenEnabled());
        QTest::mouseClick(Bar().ListenButton(), Qt::LeftButton);
        EXPECT_TRUE(m_pFrame->IsListening());
        return nLocal;
    }
};

TEST_F(EndToEndTest, RelaysARequestAndItsAnswerAndClosesWhenTheLastClientGoes) {
    test::CTestServer server([](int fd) { test::EchoPosix(fd); });
    OpenFrame();
    const std::uint16_t nLocal = ListenWithKeys(server.Port());

    std::atomic<int> fdClient{-1};
    std::string strAnswer;
    std::atomic<bool> bAnswered{false};
    std::thread client([&] {
        const int fd = test::ConnectPosix(nLocal);
        fdClient = fd;
        test::SendAllPosix(fd, "GET / HTTP/1.1\r\n\r\n");
        strAnswer = test::ReceiveExactlyPosix(fd, 18);
        bAnswered = true;
    });
    ASSERT_TRUE(PumpUntil([&] { return bAnswered.load(); }));
    EXPECT_EQ("GET / HTTP/1.1\r\n\r\n", strAnswer);
    ASSERT_TRUE(PumpUntil([&] {
        const std::wstring log = m_pPane->Text();
        return log.find(L"\r\n0--->---") != std::wstring::npos;
    }));
    const std::wstring log = m_pPane->Text();
    EXPECT_NE(std::wstring::npos, log.find(L"Session 0 starts."));
    EXPECT_NE(std::wstring::npos, log.find(L"\r\n0---<---GET / HTTP/1.1"));
    EXPECT_TRUE(PumpUntil([&] { return m_pFrame->StatusText(0) == "1 session(s) open"; }));

    // Closing while the session is open stops listening, which asks the session to stop;
    // the window closes once its client connection has ended.
    QSignalSpy closed(m_pFrame.get(), &CMainFrame::closed);
    m_nAnswer = IDYES;  // "1 session is still open. Stop it and close?"
    m_pFrame->close();
    EXPECT_TRUE(PumpUntil([&] { return closed.count() == 1; }, 20000));
    ASSERT_FALSE(Boxes().empty());
    EXPECT_EQ(L"1 session is still open. Stop it and close?", Boxes()[0].strText);
    EXPECT_FALSE(m_pFrame->IsListening());
    client.join();
    char c = 0;
    pollfd pfd{fdClient, POLLIN, 0};
    EXPECT_EQ(1, ::poll(&pfd, 1, 5000));
    EXPECT_GE(0, ::recv(fdClient, &c, 1, 0));  // the relay has let the client go
    ::close(fdClient);
    EXPECT_EQ(1, m_pPane->m_nPrompts);  // the log was asked about before it went
    EXPECT_TRUE(m_pFrame->ShutDown(10000));
}

// The same road with the program's own log: the marker lines land in the log document and
// come back out of its view with Select All and Copy.
TEST_F(EndToEndTest, TheRealLogShowsTheSessionAndItsMarkerLines) {
    test::CTestServer server([](int fd) { test::EchoPosix(fd); });
    OpenFrameWithRealLog();
    const std::uint16_t nLocal = ListenWithKeys(server.Port());
    std::atomic<bool> bAnswered{false};
    std::thread client([&] {
        const int fd = test::ConnectPosix(nLocal);
        test::SendAllPosix(fd, "ping\r\n");
        char buffer[16];
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, 5000) > 0) {
            bAnswered = ::recv(fd, buffer, sizeof(buffer), 0) == 6;
        }
        ::close(fd);
    });
    ASSERT_TRUE(PumpUntil([&] { return bAnswered.load(); }));
    client.join();
    ASSERT_TRUE(PumpUntil([&] { return m_pFrame->StatusText(0) == "0 session(s) open"; }));
    ASSERT_TRUE(PumpUntil([&] { return Act(ID_EDIT_SELECT_ALL).isEnabled(); }, 2000));
    QWidget* pView = m_pFrame->LogPane().View();
    pView->setFocus();
    ASSERT_TRUE(PumpUntil([&] { return pView->hasFocus(); }, 2000));
    QString strLog;
    ASSERT_TRUE(PumpUntil(
        [&] {
            Act(ID_EDIT_SELECT_ALL).trigger();
            Act(ID_EDIT_COPY).trigger();
            strLog = QApplication::clipboard()->text();
            return strLog.contains(QStringLiteral("Session 0 stopped."));
        },
        5000))
        << strLog.toStdString();
    EXPECT_TRUE(strLog.contains(QStringLiteral("Session 0 starts.")));
    EXPECT_TRUE(strLog.contains(QStringLiteral("0---<---ping")));
    EXPECT_TRUE(strLog.contains(QStringLiteral("0--->---ping")));
    EXPECT_TRUE(PumpUntil([&] { return m_pFrame->windowTitle() == "Untitled* - Tapvane"; }, 2000));
}

// The text the log shows for a block's bytes.
std::string ConvertedText(std::string_view bytes) {
    std::string text(3 * bytes.size(), '\0');
    text.resize(win::AnsiToUtf8(bytes, text.data(), true));
    return text;
}

// Where the lines of a text start and how long they are (LF, CR and CR LF end a line).
std::vector<CLogLineSpan> LinesOf(std::string_view text) {
    std::vector<CLogLineSpan> lines;
    std::uint64_t nStart = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            lines.push_back({nStart, i - nStart});
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
            nStart = i + 1;
        }
    }
    lines.push_back({nStart, text.size() - nStart});
    return lines;
}

// Binary and text blocks relayed through the window with its own log, which keeps their
// bytes and counts their lines without converting them: the log's text, its lines and the
// saved file are those of each block's converted text under its marker line.
TEST_F(EndToEndTest, BinaryAndTextRelayedThroughTheWindowShowAndSaveAsTheirText) {
    test::CTestServer server([](int fd) { test::EchoPosix(fd); });
    OpenFrameWithRealLog();
    const std::uint16_t nLocal = ListenWithKeys(server.Port());
    std::mt19937 random(41);
    std::vector<std::string> sent;
    for (int i = 0; i < 24; ++i) {
        std::string block;
        const std::size_t nSize = 100 + random() % 20000;
        while (block.size() < nSize) {
            switch (i % 3) {
                case 0:  // random bytes: zero, CR, LF, Windows-1252 and broken sequences
                    block.push_back(static_cast<char>(random()));
                    break;
                case 1:
                    block += "GET /caf\xc3\xa9/" + std::to_string(random() % 100) +
                             (random() % 3 == 0 ? "\r"
                              : random() % 2    ? "\n"
                                                : "\r\n");
                    break;
                default:  // a CR LF, a zero byte and a sequence cut by the block's end
                    block += std::string("\x80\r\n\0\xe2\x82", 6);
                    break;
            }
        }
        sent.push_back(block);
    }
    std::atomic<bool> bDone{false};
    std::atomic<bool> bEchoed{true};
    std::thread client([&] {
        const int fd = test::ConnectPosix(nLocal);
        for (const std::string& block : sent) {
            // One block at a time, each echoed whole before the next goes.
            test::SendAllPosix(fd, block);
            const std::string echo = test::ReceiveExactlyPosix(fd, block.size());
            bEchoed = bEchoed && echo == block;
        }
        ::close(fd);
        bDone = true;
    });
    ASSERT_TRUE(PumpUntil([&] { return bDone.load(); }, 30000));
    client.join();
    ASSERT_TRUE(bEchoed);
    ASSERT_TRUE(PumpUntil([&] { return m_pFrame->StatusText(0) == "0 session(s) open"; }));

    const CLogDocument& doc = *m_pFrame->LogPane().Document();
    std::vector<CBlockRecord> records;
    ASSERT_TRUE(doc.GetRecords().ReadBlocks(
        0, static_cast<std::size_t>(doc.GetRecords().GetBlockCount()), records));
    ASSERT_GE(records.size(), 2 * sent.size());
    // The blocks as the relay cut them: each direction's bytes are what was sent, and each
    // block's text is its converted text under its marker line, one after the other.
    std::string toServer;
    std::string toClient;
    std::string blocks;
    for (const CBlockRecord& record : records) {
        std::string bytes;
        ASSERT_TRUE(doc.GetRecords().ReadRaw(record, bytes));
        const bool bToServer = record.nDirection == 0;
        (bToServer ? toServer : toClient) += bytes;
        blocks += (bToServer ? "\r\n0---<---" : "\r\n0--->---") + ConvertedText(bytes);
    }
    std::string all;
    for (const std::string& block : sent) {
        all += block;
    }
    EXPECT_TRUE(toServer == all);
    EXPECT_TRUE(toClient == all);
    const std::uint64_t nFirst = records.front().nTextStart;
    const std::string text = doc.ReadBytes(0, doc.GetSize());
    ASSERT_GT(text.size(), nFirst + blocks.size());
    EXPECT_TRUE(text.substr(nFirst, blocks.size()) == blocks) << "the blocks' text differs";
    EXPECT_NE(std::string::npos, text.find("Session 0 starts."));
    EXPECT_NE(std::string::npos, text.find("Session 0 stopped.", nFirst + blocks.size()));

    // The lines the view shows: those of the text, counted apart from it.
    const std::string expected =
        text.substr(0, nFirst) + blocks + text.substr(nFirst + blocks.size());
    const std::vector<CLogLineSpan> lines = LinesOf(expected);
    ASSERT_EQ(lines.size(), doc.GetLineCount());
    const std::vector<CLogLineSpan> docLines = doc.GetLines(0, SIZE_MAX);
    ASSERT_EQ(lines.size(), docLines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        ASSERT_EQ(lines[i].nStart, docLines[i].nStart) << i;
        ASSERT_EQ(lines[i].nLength, docLines[i].nLength) << i;
    }

    // File > Save, through the real dialog: the same text with every break as CR LF.
    CTempFolder folder;
    const std::string strPath = folder.Path("saved.txt");
    bool bDialog = false;
    QTimer::singleShot(200, [&] {
        auto* pDialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        auto* pName = pDialog != nullptr
                          ? pDialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))
                          : nullptr;
        if (pName != nullptr) {
            bDialog = true;
            pName->setText(QString::fromStdString(strPath));
            QTest::keyClick(pName, Qt::Key_Return);
        } else if (pDialog != nullptr) {
            pDialog->reject();
        }
    });
    Act(ID_FILE_SAVE).trigger();
    ASSERT_TRUE(bDialog);
    ASSERT_TRUE(PumpUntil([&] { return !m_pFrame->LogPane().IsModified(); }, 10000));
    std::string saved;
    {
        std::ifstream in(strPath, std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        saved = out.str();
    }
    std::string wanted;
    for (const CLogLineSpan& line : lines) {
        wanted.append(expected, line.nStart, line.nLength);
        wanted += "\r\n";
    }
    wanted.resize(wanted.size() - 2);  // the last line has no break
    EXPECT_TRUE(saved == wanted) << saved.size() << " bytes saved, " << wanted.size()
                                 << " expected";
}

TEST_F(EndToEndTest, ClosingWhileFiftySessionsRelayAtFullSpeedEndsThemAndTheWindow) {
    test::CTestServer server([](int fd) { test::EchoPosix(fd); });
    OpenFrame();
    const std::uint16_t nLocal = ListenWithKeys(server.Port());
    constexpr int kClients = 50;
    std::atomic<int> nRelaying{0};
    std::atomic<bool> bStop{false};
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.emplace_back([&] {
            const int fd = test::ConnectPosix(nLocal);
            if (fd < 0) {
                return;
            }
            const std::string block(16384, 'x');
            char buffer[65536];
            bool bCounted = false;
            // Sends and reads as fast as the relay goes, until the connection ends.
            for (int nRound = 0; nRound < 100000 && !bStop; ++nRound) {
                if (!test::SendAllPosix(fd, block)) {
                    break;
                }
                pollfd pfd{fd, POLLIN, 0};
                if (::poll(&pfd, 1, 10000) <= 0) {
                    break;
                }
                const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
                if (n <= 0) {
                    break;
                }
                if (!bCounted) {
                    bCounted = true;
                    ++nRelaying;
                }
            }
            ::close(fd);
        });
    }
    ASSERT_TRUE(PumpUntil([&] { return nRelaying == kClients; }, 30000)) << nRelaying;
    QSignalSpy closed(m_pFrame.get(), &CMainFrame::closed);
    // Closing asks first; No keeps every session running.
    m_nAnswer = IDNO;
    m_pFrame->close();
    ASSERT_EQ(1u, Boxes().size());
    EXPECT_EQ(std::to_wstring(kClients) + L" sessions are still open. Stop them and close?",
              Boxes()[0].strText);
    EXPECT_TRUE(m_pFrame->IsListening());
    EXPECT_EQ(0, closed.count());
    m_nAnswer = IDYES;
    m_pFrame->close();
    // Listening stops and every session is asked to stop; the last one to go closes the
    // window. The GUI thread stays responsive throughout.
    const bool bClosed = PumpUntil([&] { return closed.count() == 1; }, 60000);
    bStop = true;
    for (auto& t : clients) {
        t.join();
    }
    EXPECT_TRUE(bClosed);
    EXPECT_TRUE(m_pFrame->ShutDown(20000));
    EXPECT_EQ(0, g_nClientsCount.load());
}

// The Qt window with "Replace host header" on, and clients that behave like browsers:
// sessions end and are deleted on the GUI thread while others ask for the URL and rewrite
// their Host lines; nothing may hang.
TEST_F(EndToEndTest, ThousandKeptAliveGetsWithHostRewriteAllComeBack) {
    {
        CRegKeyTalvex settings;
        settings.SetReplaceHostHeader(true);
    }
    test::CHttpTestServer server([](const test::CHttpRequest& request) {
        return test::CHttpAnswer{
            test::CHttpTestServer::Response("text/plain", "ok " + request.RequestLine())};
    });
    OpenFrame();
    const std::uint16_t nLocal = ListenWithKeys(server.Port());
    constexpr int kClients = 4;
    const int nEach = 1000 / test::kLoadScale / kClients;
    std::atomic<int> nOk{0};
    std::atomic<int> nDone{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            for (int i = 0; i < nEach; ++i) {
                const std::string strPath = "/" + std::to_string(c) + "/" + std::to_string(i);
                nOk += test::KeptAliveGet(nLocal, strPath) == "ok GET " + strPath + " HTTP/1.1";
            }
            ++nDone;
        });
    }
    const bool bDone = PumpUntil([&] { return nDone == kClients; }, 240000);
    for (auto& t : clients) {
        t.join();
    }
    ASSERT_TRUE(bDone) << "the relay hangs";
    EXPECT_EQ(kClients * nEach, nOk.load());
    for (const test::CHttpRequest& request : server.Requests()) {
        ASSERT_NE(
            std::string::npos,
            request.strHead.find("\r\nHost: 127.0.0.1:" + std::to_string(server.Port()) + "\r\n"))
            << request.strHead;
    }
    // Every session ends and is deleted; the GUI thread still answers.
    EXPECT_TRUE(PumpUntil([] { return g_nClientsCount == 0; }, 30000)) << g_nClientsCount;
    EXPECT_TRUE(PumpUntil([&] { return m_pFrame->StatusText(0) == "0 session(s) open"; }));
}

}  // namespace
