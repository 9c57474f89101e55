#pragma once

// Where native code shows a message that the user must acknowledge. The
// window's error object is one; code below the window knows only this.

#include <QString>

namespace kvq {

class ErrorSink {
public:
    virtual ~ErrorSink() = default;
    // Shows `message`; with `wait`, a worker thread returns once the user
    // has closed it (or releaseWaiters was called).
    virtual void reportError(const QString& message, bool wait) = 0;
    // Lets every waiting thread go on (exit).
    virtual void releaseWaiters() = 0;
};

} // namespace kvq
