#include "device/devicehost.h"

#include "app/logging.h"
#include "app/sharedmemoryhelper.h"
#include "device/connectdevice.h"
#include "device/usbcontrol.h"

DeviceHost::DeviceHost(kvq::usb::USBDeviceSlot* slot, SharedMemoryHelper* shared, WindowError* errors,
                       QObject* parent)
    : QObject(parent), m_slot(slot), m_shared(shared), m_connector(new ConnectDevice(slot, errors))
{
    qRegisterMetaType<SharedMemoryHelper*>("SharedMemoryHelper*");
    qRegisterMetaType<QMutex*>("QMutex*");
    connect(this, &DeviceHost::devicePlugChanged, m_connector, &ConnectDevice::onDevicePlug,
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
    delete m_connector; // waits for a handshake in progress
    if (kvq::usb::USBControl* device = m_slot->device()) {
        m_shared->removeDeviceId(device->portId());
        device->stopped = true;
        m_slot->clear();
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
        m_connector->disconnect(m_shared, &m_deviceMutex);
}
