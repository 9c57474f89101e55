#include "emulator/simulation.h"

namespace kvq::emulator {

MeterSimulation::MeterSimulation(usb::VirtualUsbBus& bus, MeterConfig config, usb::VirtualAttachment where)
    : m_bus(bus), m_where(std::move(where))
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        plugLocked(config);
    }
    m_worker = std::thread([this] {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_stop) {
            m_wake.wait(lock, [this] { return m_stop || m_request >= 0; });
            if (m_stop)
                break;
            const bool boot = m_request == 1;
            m_request = -1;
            // A real meter answers, drops off the bus and comes back in its new mode.
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            lock.lock();
            if (m_stop)
                break;
            MeterConfig config = m_meter->config();
            config.isBoot = boot;
            const int old = m_plugId;
            m_plugId = 0;
            lock.unlock();
            m_bus.unplug(old);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            lock.lock();
            if (!m_stop)
                plugLocked(config);
        }
    });
}

MeterSimulation::~MeterSimulation()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_worker.join();
    unplug();
}

void MeterSimulation::plugLocked(const MeterConfig& config)
{
    m_meter = std::make_shared<MeterEmulator>(config);
    m_meter->setReenumerateHandler([this](bool boot) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_request = boot ? 1 : 0;
        }
        m_wake.notify_all();
    });
    m_plugId = m_bus.plug(m_meter, m_where);
}

std::shared_ptr<MeterEmulator> MeterSimulation::meter() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_meter;
}

int MeterSimulation::plugId() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_plugId;
}

void MeterSimulation::unplug()
{
    int id = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        id = std::exchange(m_plugId, 0);
    }
    if (id)
        m_bus.unplug(id);
}

void MeterSimulation::replug()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_plugId && !m_stop)
        plugLocked(m_meter->config());
}

} // namespace kvq::emulator
