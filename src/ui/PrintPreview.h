// The print preview: one page of a CLogPrintLayout at a time, drawn to fit the window, on
// a grey desk. Page Up and Page Down step through the pages.
#pragma once

#include <QImage>
#include <QWidget>

#include <memory>

class CLogPrintLayout;

class CPrintPreview : public QWidget {
    Q_OBJECT
public:
    // `paperInches` is the size of the whole sheet, `marginInches` the top left of the
    // printable area on it.
    CPrintPreview(std::shared_ptr<CLogPrintLayout> pLayout, QSizeF paperInches,
                  QPointF marginInches, QWidget* pParent = nullptr);

    int CurrentPage() const { return m_nPage; }  // from 0
    int PageCount();
    bool CanGoBack() const { return m_nPage > 0; }
    bool CanGoForward();
    void GoBack();
    void GoForward();
    // The image of the current page as shown (rendered at its size on screen).
    QImage PageImage();

signals:
    void pageChanged();

protected:
    void paintEvent(QPaintEvent* pEvent) override;
    void keyPressEvent(QKeyEvent* pEvent) override;
    void resizeEvent(QResizeEvent* pEvent) override;

private:
    QRect SheetRect() const;

    std::shared_ptr<CLogPrintLayout> m_pLayout;
    QSizeF m_paperInches;
    QPointF m_marginInches;
    int m_nPage = 0;
    QImage m_image;  // the current page at the size of SheetRect; null when out of date
};
