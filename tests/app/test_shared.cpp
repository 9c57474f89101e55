#include "app/base/logging.h"
#include "app/base/sharedmemoryhelper.h"
#include "app/windowerror.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QSharedMemory>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUuid>

#include <gtest/gtest.h>

#include <future>
#include <thread>

namespace {
QString uniqueKey()
{
    return QUuid::createUuid().toString();
}
} // namespace

TEST(SharedMemory, InstancesSeeOneBlock)
{
    const QString key = uniqueKey();
    SharedMemoryHelper first(key);
    ASSERT_TRUE(first.isAttached());
    EXPECT_TRUE(first.isCreator());
    EXPECT_EQ(first.byteAt(SharedMemoryHelper::kMarker), 2);
    first.registerInstance();

    SharedMemoryHelper second(key);
    ASSERT_TRUE(second.isAttached());
    EXPECT_FALSE(second.isCreator());
    EXPECT_EQ(second.byteAt(SharedMemoryHelper::kInstances), 1); // a running instance: contents kept

    first.addDeviceId(1001);
    second.addDeviceId(-5);
    second.addDeviceId(1001); // already listed
    EXPECT_EQ(first.deviceIds(), (QVector<int32_t>{1001, -5}));
    first.removeDeviceId(1001);
    EXPECT_EQ(second.deviceIds(), QVector<int32_t>{-5});
    second.removeDeviceId(77); // not listed: nothing changes
    EXPECT_EQ(first.deviceIds(), QVector<int32_t>{-5});
}

TEST(SharedMemory, ByteOperationsAndTheirLimits)
{
    const struct {
        int pos;
        int increments;
        int decrements;
        int expected;
    } cases[] = {
        {0, 2, 1, 1},   {1, 2, 3, 0},                     // never below zero
        {511, 1, 0, 1}, {1022, 1, 0, 1}, {1023, 1, 0, 0}, // the last byte is never touched
        {-1, 1, 0, 0},
    };
    const QString key = uniqueKey();
    SharedMemoryHelper block(key);
    QSharedMemory raw(key); // the bytes as another process sees them
    ASSERT_TRUE(raw.attach(QSharedMemory::ReadOnly));
    const auto* bytes = static_cast<const uint8_t*>(raw.constData());
    for (const auto& c : cases) {
        for (int i = 0; i < c.increments; ++i)
            block.incrementByte(c.pos);
        for (int i = 0; i < c.decrements; ++i)
            block.decrementByte(c.pos);
        EXPECT_EQ(block.byteAt(c.pos), c.expected) << c.pos;
        if (c.pos >= 0) {
            EXPECT_EQ(bytes[c.pos], c.expected) << c.pos;
        }
    }
    EXPECT_EQ(bytes[0], 1); // position -1 wrote nowhere before the block
    EXPECT_TRUE(block.clearBlock());
    EXPECT_EQ(block.byteAt(0), 0);
}

TEST(SharedMemory, ListHoldsAtMost64IdsAndSaysWhenFull)
{
    SharedMemoryHelper block(uniqueKey());
    for (int i = 1; i <= 64; ++i)
        ASSERT_TRUE(block.addDeviceId(i));
    EXPECT_FALSE(block.addDeviceId(65)); // full: refused, not reported as listed
    EXPECT_TRUE(block.addDeviceId(64));  // already listed
    const QVector<int32_t> ids = block.deviceIds();
    ASSERT_EQ(ids.size(), 64);
    EXPECT_EQ(ids.last(), 64);
}

TEST(SharedMemory, NestedLockingByOneThreadAndExclusionOfAnother)
{
    SharedMemoryHelper block(uniqueKey());
    block.lockBlock();
    block.lockBlock();    // nested: no deadlock
    block.addDeviceId(3); // takes the lock once more inside
    std::atomic<bool> entered{false};
    auto other = std::async(std::launch::async, [&] {
        block.lockBlock();
        entered = true;
        block.unlockBlock();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(entered.load());
    block.unlockBlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(entered.load()); // still held once
    block.unlockBlock();
    other.get();
    EXPECT_TRUE(entered.load());
}

TEST(WindowError, ShowsEachMessageOnceAndWaitsForTheUser)
{
    QTemporaryDir tmp;
    kvq::startLog(tmp.path());
    const QString log = kvq::currentLogFile();
    WindowError error;
    QSignalSpy changed(&error, &WindowError::error_msgChanged);
    QSignalSpy closed(&error, &WindowError::isCloseChanged);
    error.setIsClose(true);
    EXPECT_EQ(closed.count(), 1);
    error.setErrorMsg(QStringLiteral("first"));
    EXPECT_EQ(changed.count(), 1);
    EXPECT_FALSE(error.isClose()); // reset quietly for the new message
    EXPECT_EQ(closed.count(), 1);
    error.setErrorMsg(QStringLiteral("first")); // already shown
    EXPECT_EQ(changed.count(), 1);

    // From a worker thread, waiting: returns only after the user closes it.
    QObject::connect(&error, &WindowError::error_msgChanged, &error, [&] { error.setIsClose(true); });
    auto waiting = std::async(std::launch::async, [&] { error.reportError(QStringLiteral("second"), true); });
    while (waiting.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready)
        QCoreApplication::processEvents();
    EXPECT_EQ(error.errorMsg(), QStringLiteral("second"));
    EXPECT_TRUE(error.isClose());
    kvq::closeLog();
    const QByteArray text = kvqtest::readAll(log);
    EXPECT_TRUE(text.contains(": first\n"));
    EXPECT_TRUE(text.contains(": second\n"));
}
