#pragma once

#include <QSharedMemory>
#include <QString>
#include <QVector>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

// The 1024-byte block shared by all running instances and the updater:
// instance count, cache users, the updater's quit request and the port ids of
// the meters in use. Every operation takes the block's system lock; nested
// use by one thread locks once.
class SharedMemoryHelper {
public:
    static constexpr int kLength = 1024;
    static constexpr int kSaveUsers = 0;
    static constexpr int kLoadUsers = 1;
    static constexpr int kInstances = 3;
    static constexpr int kMarker = 510;
    static constexpr int kQuitRequest = 511;
    static constexpr int kIdCount = 512;
    static constexpr int kIdList = 513;

    explicit SharedMemoryHelper(const QString& key = keyFor(false));
    // The block of all instances, or for a simulation one of this process
    // alone: emulated meters have the same port ids in every process.
    static QString keyFor(bool simulate);
    ~SharedMemoryHelper();

    bool isAttached() const { return m_attached; }
    bool isCreator() const { return m_creator; }

    void lockBlock();
    void unlockBlock();

    uint8_t byteAt(int pos);
    void incrementByte(int pos);
    void decrementByte(int pos);
    bool clearBlock();

    QVector<int32_t> deviceIds();
    void addDeviceId(int32_t id);
    void removeDeviceId(int32_t id);

private:
    uint8_t* data() { return static_cast<uint8_t*>(m_memory.data()); }
    void writeIds(const QVector<int32_t>& ids);

    QSharedMemory m_memory;
    bool m_attached = false;
    bool m_creator = false;
    // The lock depth belongs to one thread at a time: the GUI thread and the
    // connection thread both use the helper.
    std::mutex m_depthMutex;
    std::condition_variable m_depthFree;
    std::thread::id m_owner;
    int m_depth = 0;
};
