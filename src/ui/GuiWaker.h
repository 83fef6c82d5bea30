// Wakes the GUI thread from any thread: an event counter that the GUI thread's event loop
// watches. No Qt object crosses threads (so the thread checker can follow the hand-over,
// which goes through the caller's own mutex), and a wake-up costs no allocation.
#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <functional>

class CGuiWaker : public QObject {
    Q_OBJECT
public:
    // GUI thread. `fnOnWake` runs on the GUI thread after one or more Wake calls.
    explicit CGuiWaker(std::function<void()> fnOnWake, QObject* pParent = nullptr);
    // GUI thread.
    ~CGuiWaker() override;

    // Any thread; never blocks.
    void Wake();

private:
    // GUI thread: the counter was set.
    void OnActivated();

    std::function<void()> m_fnOnWake;
    int m_fdWake = -1;
    QSocketNotifier* m_pNotifier = nullptr;
};
