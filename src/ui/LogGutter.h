// The strip left of the log view's text where its timestamps are painted; the view
// places it and paints into it.
//
// GUI thread only.
#pragma once

#include <QWidget>

class CLogView;

class CLogGutter : public QWidget {
    Q_OBJECT

public:
    explicit CLogGutter(CLogView& view);

protected:
    void paintEvent(QPaintEvent* pEvent) override;

private:
    CLogView& m_view;
};
