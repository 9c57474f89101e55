#include "device/devicehost.h"

#include "app/base/logging.h"
#include "app/base/sharedmemoryhelper.h"
#include "device/connectdevice.h"
#include "device/usbcontrol.h"

DeviceHost::DeviceHost(kvq::usb::USBDeviceSlot* slot, SharedMemoryHelper* shared, kvq::ErrorSink* errors,
                       QObject* parent)
    : QObject(parent), m_slot(slot), m_shared(shared), m_errors(errors),
      m_connector(new ConnectDevice(slot, errors))
{
    qRegisterMetaType<SharedMemoryHelper*>("SharedMemoryHelper*");
    qRegisterMetaType<QMutex*>("QMutex*");
    connect(this, &DeviceHost::devicePlugChanged, m_connector, &ConnectDevice::onDevicePlug,
            Qt::QueuedConnection);
    connect(this, &DeviceHost::deviceDisconnectRequested, m_connector, &ConnectDevice::onDisconnect,
            Qt::QueuedConnection);
    connect(m_connector, &ConnectDevice::SendDeviceCreanInfo, this, &DeviceHost::receiveDeviceCreanInfo,
            Qt::QueuedConnection);
    m_firstScan.setSingleShot(true);
    connect(&m_firstScan, &QTimer::timeout, this,
            [this] { emit devicePlugChanged(m_shared, &m_deviceMutex, true, false); });
}

DeviceHost::~DeviceHost()
{
    if (m_watching)
        m_slot->backend().stopWatchingPlugEvents();
    // A handshake may be waiting for the user to close a message: let it end.
    if (m_errors)
        m_errors->releaseWaiters();
    delete m_connector; // waits for a handshake in progress
    if (kvq::usb::USBControl* device = m_slot->device()) {
        m_shared->removeDeviceId(device->portId());
        m_slot->clear(); // waits for the report reader to let go of it
    }
}

void DeviceHost::start(int firstScanDelayMs)
{
    // Called on the bus's own thread: only a queued request leaves it.
    m_watching = m_slot->backend().watchPlugEvents(
        [this](bool arrived) { emit devicePlugChanged(m_shared, &m_deviceMutex, arrived, false); });
    if (!m_watching)
        kvq::writeLog(QStringLiteral("USB plug events are not available; connect from the menu."));
    m_firstScan.start(firstScanDelayMs);
}

void DeviceHost::setDeviceConnect(bool connect)
{
    if (connect)
        emit devicePlugChanged(m_shared, &m_deviceMutex, true, true);
    else
        emit deviceDisconnectRequested(m_shared, &m_deviceMutex);
}
