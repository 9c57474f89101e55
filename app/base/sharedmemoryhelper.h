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
//
// The block outlives an instance that crashed or was killed, so each port id
// and each instance is kept with the process id of its owner, and entries
// whose owner is gone are reclaimed whenever the list is read.
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
    static constexpr int kMaxIds = 64;
    static constexpr int kOwnerList = 4;      // kMaxIds process ids, beside the port ids
    static constexpr int kInstanceList = 260; // process ids of the running instances
    static constexpr int kMaxInstances = 62;

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
    // False when the list is full (the id is then not listed).
    bool addDeviceId(int32_t id);
    void removeDeviceId(int32_t id);

    // This process as a running instance (the instance count), and back.
    void registerInstance();
    void unregisterInstance();

private:
    uint8_t* data() { return static_cast<uint8_t*>(m_memory.data()); }
    struct Entry {
        int32_t id;
        int32_t owner;
    };
    QVector<Entry> entries();
    void writeEntries(const QVector<Entry>& entries);
    // Drops ids and instances whose process is gone; with no instance left,
    // an updater's quit request left behind is cleared too. Lock held.
    void reclaim();

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
