#include "ui/SessionResend.h"

#include <QMessageBox>

#include <cstring>
#include <string>
#include <vector>

#include "capture/ReplaySessions.h"
#include "logdoc/BlockRecords.h"
#include "logdoc/SessionBlocks.h"
#include "logdoc/SessionListModel.h"
#include "logdoc/SessionTable.h"
#include "ui/ReplayDialog.h"
#include "ui/ResendDialog.h"

namespace {

QString OrdinalText(std::uint32_t nRow) {
    return QStringLiteral("#%1").arg(CSessionListModel::Ordinal(nRow));
}

// The client's recorded blocks; empty (after a box that says why) when there are none.
std::vector<CRecordedBlock> ClientBlocks(QWidget* pParent, const CBlockRecords& records,
                                         std::uint32_t nRow) {
    std::vector<CRecordedBlock> blocks;
    const int nError = ReadSessionBlocks(records, nRow, true, blocks);
    if (nError != 0) {
        QMessageBox::warning(
            pParent, QObject::tr("Tapvane"),
            QObject::tr("The bytes of session %1 cannot be read.\n%2")
                .arg(OrdinalText(nRow), QString::fromLocal8Bit(std::strerror(nError))));
        blocks.clear();
    } else if (blocks.empty()) {
        QMessageBox::information(
            pParent, QObject::tr("Tapvane"),
            QObject::tr("Session %1 has no client bytes to send.").arg(OrdinalText(nRow)));
    }
    return blocks;
}

QString ServerText(const QString& strHost, int nPort) {
    return QObject::tr("%1 port %2").arg(strHost).arg(nPort);
}

}  // namespace

std::shared_ptr<CReplaySession> ReplaySessionRow(QWidget* pParent, const CBlockRecords& records,
                                                 std::uint32_t nRow,
                                                 const CCurrentServer& current) {
    CSessionInfo info;
    if (!records.Sessions().GetRow(nRow, info)) {
        return nullptr;
    }
    std::vector<CRecordedBlock> blocks = ClientBlocks(pParent, records, nRow);
    if (blocks.empty()) {
        return nullptr;
    }
    const QString strSessionHost = QString::fromStdString(info.strServerHost);
    const bool bSessionServerKnown = !strSessionHost.isEmpty() && info.server.nPort != 0;
    CReplayDialog dialog(
        ServerText(current.strUrl, current.nPort),
        bSessionServerKnown ? ServerText(strSessionHost, info.server.nPort) : QString(), pParent);
    if (dialog.exec() != QDialog::Accepted) {
        return nullptr;
    }
    CReplayPlan plan;
    if (dialog.sessionServer()) {
        plan.strServer = strSessionHost.toStdWString();
        plan.nPort = info.server.nPort;
    } else {
        plan.strServer = current.strUrl.toStdWString();
        plan.nPort = current.nPort;
    }
    plan.timing = dialog.recordedTiming() ? ReplayTiming::Recorded : ReplayTiming::Quiet;
    plan.quiet = std::chrono::milliseconds(dialog.quietMs());
    plan.strOrigin = "replay of " + OrdinalText(nRow).toStdString();
    for (CRecordedBlock& block : blocks) {
        plan.blocks.push_back({std::move(block.bytes), block.nTimeUs});
    }
    return ReplaySessions().Start(std::move(plan));
}

std::shared_ptr<CReplaySession> ResendSessionRow(QWidget* pParent, const CBlockRecords& records,
                                                 std::uint32_t nRow,
                                                 const CCurrentServer& current) {
    const std::vector<CRecordedBlock> blocks = ClientBlocks(pParent, records, nRow);
    if (blocks.empty()) {
        return nullptr;
    }
    std::string bytes;
    for (const CRecordedBlock& block : blocks) {
        bytes += block.bytes;
    }
    CResendDialog dialog(std::move(bytes), pParent);
    dialog.setWindowTitle(QObject::tr("Edit and Resend Session %1").arg(OrdinalText(nRow)));
    std::string edited;
    if (dialog.exec() != QDialog::Accepted || !dialog.editedBytes(edited) || edited.empty()) {
        return nullptr;
    }
    CReplayPlan plan;
    plan.strServer = current.strUrl.toStdWString();
    plan.nPort = current.nPort;
    plan.strOrigin = "edited resend of " + OrdinalText(nRow).toStdString();
    plan.blocks.push_back({std::move(edited), 0});
    return ReplaySessions().Start(std::move(plan));
}
