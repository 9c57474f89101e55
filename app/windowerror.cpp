#include "app/windowerror.h"

#include "app/logging.h"

#include <QCoreApplication>
#include <QElapsedTimer>
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
    if (m_closed.exchange(closed) != closed)
        emit isCloseChanged();
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
    if (!wait)
        return;
    while (!m_closed.load()) {
        QElapsedTimer slice;
        slice.start();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
        // A worker thread may have no events at all: do not spin.
        if (!m_closed.load() && slice.elapsed() < 10)
            QThread::msleep(10);
    }
}
