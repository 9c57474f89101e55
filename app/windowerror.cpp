#include "app/windowerror.h"

#include "app/base/logging.h"

#include <QThread>

WindowError::WindowError(QObject* parent) : QObject(parent) {}

QString WindowError::errorMsg() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_message;
}

bool WindowError::adopt(const QString& message)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (message == m_message)
        return false;
    m_message = message;
    m_closed = false; // silently: the dialog is about to open
    return true;
}

void WindowError::setErrorMsg(const QString& message)
{
    if (!adopt(message))
        return;
    if (!message.isEmpty())
        kvq::writeLog(message);
    emit error_msgChanged();
}

void WindowError::setIsClose(bool closed)
{
    bool changed;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        changed = m_closed.exchange(closed) != closed;
    }
    if (closed)
        m_closedChanged.notify_all();
    if (changed)
        emit isCloseChanged();
}

void WindowError::releaseWaiters()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_released = true;
    }
    m_closedChanged.notify_all();
}

void WindowError::reportError(const QString& message, bool wait)
{
    if (QThread::currentThread() == thread()) {
        setErrorMsg(message);
    } else if (adopt(message)) {
        if (!message.isEmpty())
            kvq::writeLog(message);
        // The signal must reach QML from the GUI thread.
        QMetaObject::invokeMethod(
            this, [this] { emit error_msgChanged(); }, Qt::QueuedConnection);
    }
    if (!wait || QThread::currentThread() == thread())
        return;
    std::unique_lock<std::mutex> lock(m_mutex);
    m_closedChanged.wait(lock, [this] { return m_closed.load() || m_released; });
}
