#include "ui/ResendDialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include "capture/HttpContentLength.h"

namespace {

std::string ToLf(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') {
            continue;
        }
        out += bytes[i];
    }
    return out;
}

std::string ToCrlf(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 16);
    for (const char c : bytes) {
        if (c == '\n') {
            out += '\r';
        }
        out += c;
    }
    return out;
}

}  // namespace

CResendDialog::CResendDialog(std::string bytes, QWidget* pParent) : QDialog(pParent) {
    setWindowTitle(tr("Edit and Resend"));
    resize(640, 480);
    auto* pLayout = new QVBoxLayout(this);
    m_pTabs = new QTabWidget(this);
    m_pText = new QPlainTextEdit(m_pTabs);
    m_pText->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_pHex = new QPlainTextEdit(m_pTabs);
    m_pHex->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_pHex->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_pTabs->addTab(m_pText, tr("&Text"));
    m_pTabs->addTab(m_pHex, tr("&Hex"));
    pLayout->addWidget(m_pTabs, 1);

    auto* pOptions = new QHBoxLayout;
    m_pCrlf = new QCheckBox(tr("Line ends &CR LF"), this);
    m_pCrlf->setChecked(bytes.find("\r\n") != std::string::npos);
    m_pFixLength = new QPushButton(tr("Fix Content-&Length"), this);
    pOptions->addWidget(m_pCrlf);
    pOptions->addStretch(1);
    pOptions->addWidget(m_pFixLength);
    pLayout->addLayout(pOptions);
    m_pProblem = new QLabel(this);
    m_pProblem->setWordWrap(true);
    pLayout->addWidget(m_pProblem);

    auto* pButtons = new QDialogButtonBox(QDialogButtonBox::Cancel, this);
    m_pSend = pButtons->addButton(tr("&Send"), QDialogButtonBox::AcceptRole);
    m_pSend->setDefault(true);
    connect(pButtons, &QDialogButtonBox::accepted, this, [this] {
        std::string edited;
        if (editedBytes(edited)) {
            accept();
        }
    });
    connect(pButtons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    pLayout->addWidget(pButtons);

    m_nShownTab = isEditableText(bytes) ? TextTab : HexTab;
    showIn(m_nShownTab, bytes);
    m_pTabs->setCurrentIndex(m_nShownTab);
    connect(m_pTabs, &QTabWidget::currentChanged, this, &CResendDialog::onTabChanged);
    connect(m_pFixLength, &QPushButton::clicked, this, &CResendDialog::fixLength);
}

bool CResendDialog::isEditableText(const std::string& bytes) {
    const QString text = QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
    if (text.toUtf8() != QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size()))) {
        return false;  // not UTF-8
    }
    // One kind of line end, so that the CR LF choice gives the bytes back as they were.
    const bool bCrlf = bytes.find("\r\n") != std::string::npos;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c == '\r' && (i + 1 >= bytes.size() || bytes[i + 1] != '\n')) {
            return false;
        }
        if (c == '\n' && bCrlf && (i == 0 || bytes[i - 1] != '\r')) {
            return false;
        }
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F) {
            return false;
        }
    }
    // The editor turns these into others.
    return !text.contains(QChar::Nbsp) && !text.contains(QChar::ParagraphSeparator) &&
           !text.contains(QChar::LineSeparator);
}

QString CResendDialog::toHex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    QString out;
    out.reserve(static_cast<qsizetype>(bytes.size() * 3));
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (i > 0) {
            out += i % 16 == 0 ? QChar('\n') : QChar(' ');
        }
        out += QChar(kDigits[c >> 4]);
        out += QChar(kDigits[c & 0x0F]);
    }
    return out;
}

bool CResendDialog::fromHex(const QString& strHex, std::string& bytes) {
    bytes.clear();
    int nHigh = -1;
    for (const QChar ch : strHex) {
        if (ch.isSpace()) {
            if (nHigh >= 0) {
                return false;  // a digit alone
            }
            continue;
        }
        const int nDigit = ch.isDigit()               ? ch.unicode() - '0'
                           : (ch >= 'a' && ch <= 'f') ? ch.unicode() - 'a' + 10
                           : (ch >= 'A' && ch <= 'F') ? ch.unicode() - 'A' + 10
                                                      : -1;
        if (nDigit < 0 || !(ch.unicode() < 128)) {
            return false;
        }
        if (nHigh < 0) {
            nHigh = nDigit;
        } else {
            bytes += static_cast<char>(nHigh << 4 | nDigit);
            nHigh = -1;
        }
    }
    return nHigh < 0;
}

bool CResendDialog::readTab(int nTab, std::string& bytes) {
    if (nTab == TextTab) {
        const QByteArray utf8 = m_pText->toPlainText().toUtf8();
        bytes.assign(utf8.constData(), static_cast<std::size_t>(utf8.size()));
        if (m_pCrlf->isChecked()) {
            bytes = ToCrlf(bytes);
        }
        m_pProblem->clear();
        return true;
    }
    if (!fromHex(m_pHex->toPlainText(), bytes)) {
        m_pProblem->setText(tr("The hex view holds something other than pairs of hex digits."));
        return false;
    }
    m_pProblem->clear();
    return true;
}

void CResendDialog::showIn(int nTab, const std::string& bytes) {
    if (nTab == TextTab) {
        const std::string shown = ToLf(bytes);
        m_pText->setPlainText(
            QString::fromUtf8(shown.data(), static_cast<qsizetype>(shown.size())));
    } else {
        m_pHex->setPlainText(toHex(bytes));
    }
}

bool CResendDialog::editedBytes(std::string& bytes) {
    return readTab(m_nShownTab, bytes);
}

void CResendDialog::onTabChanged(int nTab) {
    if (m_bSwitching || nTab == m_nShownTab) {
        return;
    }
    std::string bytes;
    bool bStay = !readTab(m_nShownTab, bytes);
    if (!bStay && nTab == TextTab && !isEditableText(bytes)) {
        m_pProblem->setText(tr("These bytes are not text: edit them in the hex view."));
        bStay = true;
    }
    if (bStay) {
        m_bSwitching = true;
        m_pTabs->setCurrentIndex(m_nShownTab);
        m_bSwitching = false;
        return;
    }
    showIn(nTab, bytes);
    m_nShownTab = nTab;
}

void CResendDialog::fixLength() {
    std::string bytes;
    if (!readTab(m_nShownTab, bytes)) {
        return;
    }
    if (FixContentLength(bytes)) {
        showIn(m_nShownTab, bytes);
        m_pProblem->setText(tr("Content-Length set to the body's length."));
    } else {
        m_pProblem->setText(
            tr("Content-Length is right already, or this is no request "
               "with a length of its own."));
    }
}
