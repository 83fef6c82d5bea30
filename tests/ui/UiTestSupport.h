// Helpers of the windows' tests: a recording message box and a main window that records
// what is posted to it.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "module/MainWindow.h"
#include "support/ShowMessage.h"

// Installs a message box presenter that records every box and answers with `nAnswer`.
class CFakeMessageBox {
public:
    struct CBox {
        std::wstring strText;
        UINT nType;
    };

    explicit CFakeMessageBox(int nAnswer = IDOK) : m_nAnswer(nAnswer) {
        SetMessageBoxPresenter(
            [this](HWND, const std::wstring& strText, const std::wstring&, UINT nType) {
                std::lock_guard lock(m_mutex);
                m_boxes.push_back({strText, nType});
                return m_nAnswer;
            });
    }
    ~CFakeMessageBox() { SetMessageBoxPresenter(nullptr); }
    CFakeMessageBox(const CFakeMessageBox&) = delete;
    CFakeMessageBox& operator=(const CFakeMessageBox&) = delete;

    void SetAnswer(int nAnswer) { m_nAnswer = nAnswer; }
    std::vector<CBox> Boxes() {
        std::lock_guard lock(m_mutex);
        return m_boxes;
    }

private:
    std::mutex m_mutex;
    std::vector<CBox> m_boxes;
    int m_nAnswer;
};

class CRecordingMainWindow : public IMainWindow {
public:
    struct CPosted {
        UINT nMsg;
        WPARAM wParam;
        LPARAM lParam;
    };
    LRESULT SendMessage(UINT, WPARAM, LPARAM) override { return 0; }
    bool PostMessage(UINT nMsg, WPARAM wParam, LPARAM lParam) override {
        std::lock_guard lock(m_mutex);
        m_posted.push_back({nMsg, wParam, lParam});
        return true;
    }
    bool IsWindow() const override { return true; }
    std::vector<CPosted> Posted() {
        std::lock_guard lock(m_mutex);
        return m_posted;
    }

private:
    std::mutex m_mutex;
    std::vector<CPosted> m_posted;
};
