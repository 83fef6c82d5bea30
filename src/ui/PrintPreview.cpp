#include "ui/PrintPreview.h"

#include <QKeyEvent>
#include <QPainter>

#include <algorithm>

#include "ui/LogPrintLayout.h"

namespace {

constexpr int kDeskMargin = 16;

}  // namespace

CPrintPreview::CPrintPreview(std::shared_ptr<CLogPrintLayout> pLayout, QSizeF paperInches,
                             QPointF marginInches, QWidget* pParent)
    : QWidget(pParent),
      m_pLayout(std::move(pLayout)),
      m_paperInches(paperInches),
      m_marginInches(marginInches) {
    setObjectName(QStringLiteral("printPreview"));
    setFocusPolicy(Qt::StrongFocus);
    setAutoFillBackground(true);
    QPalette desk = palette();
    desk.setColor(QPalette::Window, Qt::darkGray);
    setPalette(desk);
}

int CPrintPreview::PageCount() {
    return m_pLayout->PageCount();
}

bool CPrintPreview::CanGoForward() {
    return m_pLayout->HasPage(m_nPage + 1);
}

void CPrintPreview::GoBack() {
    if (CanGoBack()) {
        --m_nPage;
        m_image = QImage();
        update();
        emit pageChanged();
    }
}

void CPrintPreview::GoForward() {
    if (CanGoForward()) {
        ++m_nPage;
        m_image = QImage();
        update();
        emit pageChanged();
    }
}

QRect CPrintPreview::SheetRect() const {
    // The largest sheet of the paper's shape that fits inside the margins of the desk.
    const QSize room = size() - QSize(2 * kDeskMargin, 2 * kDeskMargin);
    if (room.width() <= 0 || room.height() <= 0 || m_paperInches.isEmpty()) {
        return {};
    }
    const double dScale =
        std::min(room.width() / m_paperInches.width(), room.height() / m_paperInches.height());
    const QSize sheet(static_cast<int>(m_paperInches.width() * dScale),
                      static_cast<int>(m_paperInches.height() * dScale));
    return QRect(QPoint((width() - sheet.width()) / 2, (height() - sheet.height()) / 2), sheet);
}

QImage CPrintPreview::PageImage() {
    const QRect sheet = SheetRect();
    if (sheet.isEmpty()) {
        return {};
    }
    if (m_image.size() != sheet.size()) {
        QImage image(sheet.size(), QImage::Format_RGB32);
        image.fill(Qt::white);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setRenderHint(QPainter::TextAntialiasing);
        const double dDpi = sheet.width() / m_paperInches.width();
        painter.translate(m_marginInches.x() * dDpi, m_marginInches.y() * dDpi);
        m_pLayout->PrepareAndPaint(painter, dDpi, m_nPage);
        m_image = image;
    }
    return m_image;
}

void CPrintPreview::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect sheet = SheetRect();
    if (sheet.isEmpty()) {
        return;
    }
    painter.fillRect(sheet.translated(3, 3), Qt::black);  // the sheet's shadow
    painter.drawImage(sheet.topLeft(), PageImage());
}

void CPrintPreview::keyPressEvent(QKeyEvent* pEvent) {
    switch (pEvent->key()) {
        case Qt::Key_PageUp:
        case Qt::Key_Up:
            GoBack();
            break;
        case Qt::Key_PageDown:
        case Qt::Key_Down:
            GoForward();
            break;
        default:
            QWidget::keyPressEvent(pEvent);
    }
}

void CPrintPreview::resizeEvent(QResizeEvent* pEvent) {
    m_image = QImage();
    QWidget::resizeEvent(pEvent);
}
