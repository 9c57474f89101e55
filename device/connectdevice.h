#pragma once

// Decides when a meter is connected or dropped, runs the handshake that reads
// its information, and reports the result. Lives on a thread of its own; plug
// events and connect requests arrive as queued calls.

#include "app/base/errorsink.h"

#include <QJsonObject>
#include <QObject>

#include <cstdint>

class QMutex;
class QThread;
class SharedMemoryHelper;

namespace kvq::usb {
class USBControl;
class USBDeviceSlot;
} // namespace kvq::usb

class ConnectDevice : public QObject {
    Q_OBJECT

public:
    // `errors` may be null (no UI): messages then only reach the log.
    ConnectDevice(kvq::usb::USBDeviceSlot* slot, kvq::ErrorSink* errors);
    ~ConnectDevice() override;

    kvq::usb::USBControl* currentDevice() const { return m_currentDevice; }

public slots:
    // Both run on this object's thread, reached by queued calls: a request
    // that arrives while another one runs (a handshake, a message the user
    // has not closed yet) waits in the queue and never re-enters it.
    void onDevicePlug(SharedMemoryHelper* shared, QMutex* deviceMutex, bool isIn, bool useConnect);
    // The user's disconnect request.
    void onDisconnect(SharedMemoryHelper* shared, QMutex* deviceMutex);

signals:
    void SendDeviceCreanInfo(int port, QJsonObject json, bool connect);
    void SendFwUpdateSchedule(int schedule, int state);

private:
    void enter(SharedMemoryHelper* shared, QMutex* deviceMutex);
    void leave(SharedMemoryHelper* shared, QMutex* deviceMutex);
    void dropDevice(SharedMemoryHelper* shared);
    bool handshake(kvq::usb::USBControl* device, int32_t port);
    void showError(const QString& text, bool wait);

    kvq::usb::USBDeviceSlot* m_slot;
    kvq::ErrorSink* m_errors;
    QThread* m_thread;
    kvq::usb::USBControl* m_currentDevice = nullptr;
};
