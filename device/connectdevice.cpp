#include "device/connectdevice.h"

#include "app/base/logging.h"
#include "app/base/sharedmemoryhelper.h"
#include "device/usbcontrol.h"
#include "protocol/deviceinfo.h"
#include "protocol/frames.h"

#include <QDebug>
#include <QMutex>
#include <QThread>

using kvq::writeLog;
using kvq::usb::USBControl;

ConnectDevice::ConnectDevice(kvq::usb::USBDeviceSlot* slot, kvq::ErrorSink* errors)
    : m_slot(slot), m_errors(errors), m_thread(new QThread)
{
    m_thread->setObjectName(QStringLiteral("ConnectDevice"));
    m_thread->start(QThread::InheritPriority);
    moveToThread(m_thread);
}

ConnectDevice::~ConnectDevice()
{
    m_thread->quit();
    m_thread->wait(15000);
    delete m_thread;
    QObject::disconnect(this, nullptr, nullptr, nullptr);
}

void ConnectDevice::showError(const QString& text, bool wait)
{
    if (m_errors)
        m_errors->reportError(text, wait);
    else
        writeLog(text);
}

void ConnectDevice::enter(SharedMemoryHelper* shared, QMutex* deviceMutex)
{
    // Every caller runs on this thread, one queued request after the other,
    // so a plain lock serves: nothing here runs events while it waits.
    deviceMutex->lock();
    shared->lockBlock();
}

void ConnectDevice::leave(SharedMemoryHelper* shared, QMutex* deviceMutex)
{
    deviceMutex->unlock();
    shared->unlockBlock();
}

void ConnectDevice::dropDevice(SharedMemoryHelper* shared)
{
    USBControl* device = m_slot->device();
    if (!device)
        return;
    shared->removeDeviceId(device->portId());
    // Stops the device and waits for the report reader to give back its busy count.
    m_slot->clear();
    m_currentDevice = nullptr;
}

void ConnectDevice::onDevicePlug(SharedMemoryHelper* shared, QMutex* deviceMutex, bool isIn, bool useConnect)
{
    qDebug() << "onDevicePlug" << isIn << useConnect;
    if (!isIn) {
        if (m_slot->device() && !m_slot->isPresent()) {
            enter(shared, deviceMutex);
            dropDevice(shared);
            emit SendDeviceCreanInfo(-1, QJsonObject(), false);
            leave(shared, deviceMutex);
            writeLog(QStringLiteral("设备断开连接"));
        }
        qDebug() << "onDevicePlug ok";
        return;
    }

    enter(shared, deviceMutex);
    qDebug() << "onDevicePlugIN  lock";
    if (USBControl* device = m_slot->device())
        if (device->stopped || !m_slot->isPresent())
            dropDevice(shared);

    bool denied = false;
    int32_t port = -1;
    for (int call = 0; call < 10; ++call) {
        port = m_slot->connectFreeDevice(shared->deviceIds());
        if (port != -1 || m_slot->lastOpenError != LIBUSB_ERROR_ACCESS)
            break;
        m_slot->lastOpenError = 0;
        denied = true;
        if (call < 9)
            QThread::msleep(300);
    }
    qDebug() << "newPort" << port;

    if (port == -1) {
        if (denied || m_slot->lastOpenError == LIBUSB_ERROR_ACCESS) {
            m_slot->lastOpenError = 0;
            showError(tr("读取设备权限不足，请提升程序权限再尝试。"), false);
        } else if (useConnect) {
            showError(tr("无设备可连接。"), false);
        }
    } else {
        writeLog(QStringLiteral("设备接入端口:%1").arg(port));
        QThread::msleep(200);
        USBControl* device = m_slot->device();
        ++device->busy;
        const bool ok = handshake(device, port);
        --device->busy;
        if (ok) {
            // A full list cannot tell other instances that this meter is taken.
            if (!shared->addDeviceId(port))
                writeLog(QStringLiteral("    设备端口列表已满:%1").arg(port));
        } else {
            m_slot->clear();
            m_currentDevice = nullptr;
            leave(shared, deviceMutex);
            qDebug() << "onDevicePlug ok";
            return;
        }
    }
    qDebug() << "onDevicePlugIN  unlock";
    leave(shared, deviceMutex);
    qDebug() << "onDevicePlug ok";
}

void ConnectDevice::onDisconnect(SharedMemoryHelper* shared, QMutex* deviceMutex)
{
    enter(shared, deviceMutex);
    dropDevice(shared);
    emit SendDeviceCreanInfo(-1, QJsonObject(), false);
    leave(shared, deviceMutex);
    writeLog(QStringLiteral("设备断开连接"));
}

bool ConnectDevice::handshake(USBControl* device, int32_t port)
{
    using namespace kvq::protocol;
    writeLog(QStringLiteral("    连接设备端口:%1").arg(port));
    m_currentDevice = device;
    QJsonObject json;

    QThread::msleep(300);
    device->queryDeviceInfo();
    QByteArray stale;
    // Empties what the meter had queued. Bounded, because a meter left
    // streaming by an earlier session would otherwise never fall silent.
    for (int i = 0; i < 100 && device->readOnce(stale, 512); ++i) {
    }

    for (int attempt = 1;; ++attempt) {
        writeLog(QStringLiteral("    第%1次尝试连接").arg(attempt));
        writeLog(QStringLiteral("    获取固件信息.."));
        bool read = false;
        if (device->fwVersion == 0) {
            QByteArray bytes;
            if (device->queryDeviceInfo() && device->readOnce(bytes, 512) && !bytes.isEmpty()) {
                ReportCursor cursor{reinterpret_cast<const uint8_t*>(bytes.constData()), bytes.size(), 0};
                const ReportFrame frame = nextReport(cursor);
                DeviceInfo info;
                if (frame.code == RptDeviceInfo && decodeDeviceInfo(frame.payload, frame.length, &info)) {
                    read = true;
                    device->bootVersion = info.bootVersion;
                    device->fwVersion = info.fwVersion;
                    device->hwVersion = info.hwVersion;
                    device->deviceType = info.deviceType;
                    device->isBoot = info.isBoot;
                    device->supPtl = info.supPtl;
                    device->decimals = info.decimals;
                    const bool tooOld = firmwareNeedsUpgrade(info);
                    if (tooOld) {
                        showError(tr("固件版本过低，请升级固件后再使用。"), true);
                        device->needUp = true;
                    }
                    json = deviceInfoJson(info, tooOld);
                    if (info.isBoot)
                        emit SendFwUpdateSchedule(0, 0);
                }
            }
        }
        if (!read)
            writeLog(QStringLiteral("    获取固件信息失败..."));
        QThread::msleep(300);
        if (attempt > 5) {
            writeLog(QStringLiteral("    设备连接异常"));
            json.insert(QStringLiteral("msg"), tr("设备连接异常"));
            emit SendDeviceCreanInfo(port, json, false);
            return false;
        }
        if (device->stopped) {
            writeLog(QStringLiteral("    设备断开"));
            emit SendDeviceCreanInfo(port, json, false);
            return false;
        }
        if (device->fwVersion != 0 && device->bootVersion != 0) {
            writeLog(QStringLiteral("    设备连接成功:%1,端口:%2,速度:%3,FW:%4")
                         .arg(json.value(QStringLiteral("model")).toString())
                         .arg(port)
                         .arg(device->speedText())
                         .arg(device->fwVersion));
            emit SendDeviceCreanInfo(port, json, true);
            return true;
        }
    }
}
