#pragma once

#include "app/base/errorsink.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <mutex>

// The channel through which native code shows an error message to the user
// and learns that the user has closed it. Lives on the GUI thread; reportError
// may be called from any thread.
class WindowError : public QObject, public kvq::ErrorSink {
    Q_OBJECT
    Q_PROPERTY(QString error_msg READ errorMsg WRITE setErrorMsg NOTIFY error_msgChanged)
    Q_PROPERTY(bool isClose READ isClose WRITE setIsClose NOTIFY isCloseChanged)

public:
    explicit WindowError(QObject* parent = nullptr);

    QString errorMsg() const;
    void setErrorMsg(const QString& message);
    bool isClose() const { return m_closed.load(); }
    void setIsClose(bool closed);

    // Shows `message` (unless it is already shown). With `wait`, a worker
    // thread blocks until the user has closed it (or releaseWaiters); it runs
    // none of its own events meanwhile, so queued requests wait their turn
    // instead of re-entering the caller. The GUI thread never waits: the
    // user could not close the message while it did.
    void reportError(const QString& message, bool wait) override;
    // Lets every waiting worker go on, and later waits return at once (exit).
    void releaseWaiters() override;

signals:
    void error_msgChanged();
    void isCloseChanged();

private:
    bool adopt(const QString& message);

    mutable std::mutex m_mutex;
    QString m_message;
    std::atomic<bool> m_closed{false};
    bool m_released = false; // under m_mutex
    std::condition_variable m_closedChanged;
};
