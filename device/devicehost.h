#pragma once

// The device side of the main window host: turns plug events of the bus into
// calls of the connector, serialises connecting and disconnecting with the
// device mutex, runs the first scan after start-up and releases the meter at exit.

#include "app/base/errorsink.h"

#include <QJsonObject>
#include <QMutex>
#include <QObject>
#include <QTimer>

class ConnectDevice;
class SharedMemoryHelper;

namespace kvq::usb {
class USBDeviceSlot;
}

class DeviceHost : public QObject {
    Q_OBJECT

public:
    DeviceHost(kvq::usb::USBDeviceSlot* slot, SharedMemoryHelper* shared, kvq::ErrorSink* errors,
               QObject* parent = nullptr);
    ~DeviceHost() override;

    // Starts watching the bus and schedules the first connection attempt.
    void start(int firstScanDelayMs = 3000);
    // The user's connect (true) or disconnect (false) request.
    Q_INVOKABLE void setDeviceConnect(bool connect);
    ConnectDevice* connector() const { return m_connector; }
    QMutex* deviceMutex() { return &m_deviceMutex; }

signals:
    void devicePlugChanged(SharedMemoryHelper* shared, QMutex* deviceMutex, bool isIn, bool useConnect);
    void deviceDisconnectRequested(SharedMemoryHelper* shared, QMutex* deviceMutex);
    void receiveDeviceCreanInfo(int port, QJsonObject json, bool connect);

private:
    kvq::usb::USBDeviceSlot* m_slot;
    SharedMemoryHelper* m_shared;
    kvq::ErrorSink* m_errors;
    QMutex m_deviceMutex;
    ConnectDevice* m_connector;
    QTimer m_firstScan;
    bool m_watching = false;
};
