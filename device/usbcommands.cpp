// The command and bootloader operations of USBControl: what each frame
// carries and when a command is refused.
#include "device/usbcontrol.h"

#include "protocol/fastcharge.h"
#include "protocol/frames.h"

#include <QThread>

namespace kvq::usb {

using namespace kvq::protocol;

bool USBControl::sendCommand(uint8_t code, const uint8_t* payload, int size)
{
    if ((isBoot && code != CmdDeviceInfo) || !m_isOpen || stopped || size > kMaxCommandPayload || size < 0)
        return false;
    // Outside the lock, so that two callers do not pause back to back inside it.
    QThread::msleep(10);
    std::lock_guard<std::mutex> lock(m_sendLock);
    const QByteArray frame = buildCommandFrame(code, payload, size);
    return write(reinterpret_cast<const uint8_t*>(frame.constData()), frame.size()) == 0;
}

bool USBControl::command(uint8_t code, std::initializer_list<uint8_t> payload, bool evenIfNeedUp)
{
    if (needUp && !evenIfNeedUp)
        return false;
    return sendCommand(code, payload.begin(), int(payload.size()));
}

bool USBControl::queryDeviceInfo()
{
    return command(CmdDeviceInfo, {0, 0}, true);
}

bool USBControl::setViewIndex(int8_t index)
{
    if (index < 0)
        return command(CmdViewIndex, {0, 0, 0, 0});
    return command(CmdViewIndex, {uint8_t(index), 1, 1, 1});
}

bool USBControl::setUploadRate(int8_t rateCode)
{
    if (rateCode < 0)
        return command(CmdUploadRate, {0, 0, 0, 0});
    return command(CmdUploadRate, {1, uint8_t(rateCode), 0, 0});
}

bool USBControl::setUpload(bool on)
{
    return command(CmdUpload, {uint8_t(on ? 1 : 0), 0});
}

bool USBControl::triggerPlain(int8_t index)
{
    return command(CmdTrigger, {1, uint8_t(index), 0, 0, 0, 0});
}

bool USBControl::triggerFull(int8_t index, const QString& model, uint16_t step, uint8_t stat)
{
    return command(CmdTrigger, {2, uint8_t(index), uint8_t(fastChargeCode(model)), uint8_t(step & 0xFF),
                                uint8_t(step >> 8), stat});
}

bool USBControl::autoDetect()
{
    return command(CmdAutoDetect, {1, 0, 0, 0});
}

bool USBControl::setDeviceLanguage(int8_t index)
{
    return command(CmdLanguage, {uint8_t(index)});
}

bool USBControl::queryOfflineRecords()
{
    return command(CmdOfflineRecords, {0, 5});
}

bool USBControl::requestOfflineData(int8_t index, uint16_t totalCount)
{
    return command(CmdOfflineData, {0, uint8_t(index), uint8_t(totalCount & 0xFF), uint8_t(totalCount >> 8)});
}

bool USBControl::deleteOfflineRecord(int8_t index)
{
    return command(CmdOfflineDelete, {0, uint8_t(index)});
}

bool USBControl::setDataRecordPage(int8_t index)
{
    return command(CmdDataRecordPage, {uint8_t(index), 0});
}

bool USBControl::setPdAnalysis(int8_t state)
{
    if (!supPtl)
        return false;
    return command(CmdPdAnalysis, {uint8_t(state), 0});
}

bool USBControl::enterBootloader()
{
    return command(CmdEnterBootloader, {1, 0}, true);
}

QByteArray USBControl::bootExchange(uint8_t key, const uint8_t* payload, int size)
{
    const QByteArray frame = buildBootFrame(key, m_bootSeq, payload, size);
    QByteArray reply;
    if (m_isOpen && !stopped &&
        write(reinterpret_cast<const uint8_t*>(frame.constData()), frame.size()) == 0 && !stopped)
        read(reply, 2000, 1);
    ++m_bootSeq; // wraps at 256
    if (reply.size() >= 2 && uint8_t(reply[0]) == kBootReplyMarker && uint8_t(reply[1]) == key)
        return reply;
    return {};
}

int USBControl::bootStatus(uint8_t key, const uint8_t* payload, int size)
{
    const QByteArray reply = bootExchange(key, payload, size);
    return reply.size() > 4 ? uint8_t(reply[4]) : 1;
}

QByteArray USBControl::getBootInfo()
{
    return bootExchange(BootGetInfo, nullptr, 0);
}

int USBControl::setFwInfo(const uint8_t header[13])
{
    return bootStatus(BootSetFwInfo, header, 13);
}

int USBControl::startSendFw()
{
    return bootStatus(BootStartSendFw, nullptr, 0);
}

int USBControl::sendFwData(const uint8_t* bytes, int size)
{
    return bootStatus(BootSendData, bytes, size);
}

int USBControl::sendDataEnd()
{
    return bootStatus(BootSendDataEnd, nullptr, 0);
}

int USBControl::startApp()
{
    const uint8_t go = 0xA0;
    return bootStatus(BootStartApp, &go, 1);
}

} // namespace kvq::usb
