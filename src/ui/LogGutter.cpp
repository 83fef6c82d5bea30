#include "ui/LogGutter.h"

#include "ui/LogView.h"

CLogGutter::CLogGutter(CLogView& view) : QWidget(&view), m_view(view) {
    setObjectName(QStringLiteral("timestampGutter"));
    // Clicks here go nowhere; the text keeps the focus and the caret.
    setFocusPolicy(Qt::NoFocus);
}

void CLogGutter::paintEvent(QPaintEvent*) {
    m_view.paintGutter(*this);
}
