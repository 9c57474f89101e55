#pragma once

// Shared by the decode tests: the runtime with our decoder from the build's
// program folder, decoding a whole store, and the reference message lists.

#include "decode/decodecontroller.h"
#include "decode/runtime.h"
#include "waveform/segment.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QMetaObject>
#include <QThread>

#include <gtest/gtest.h>

#include <vector>

namespace kvqtest {

inline QString captureDir()
{
    return QStringLiteral(KVQ_SOURCE_DIR "/tests/decode/data/captures");
}

inline QString referenceFile(const QString& capture, const QString& probe)
{
    return QStringLiteral(KVQ_SOURCE_DIR "/tests/decode/data/") + capture + QLatin1Char('.') + probe +
           QStringLiteral(".ref");
}

// Starts the runtime once per process with the decoders installed by the build.
inline bool ensureRuntime()
{
    static const bool ready = kvq::decode::startDecoderRuntime(QStringLiteral(KVQ_OUTPUT_DIR)) == 0;
    return ready;
}

// Decodes every sample of `store` and returns the finished messages.
inline std::vector<kvq::decode::PdMessage> decodeAll(kvq::decode::DecodeController& controller,
                                                     kvq::waveform::Segment& store)
{
    EXPECT_TRUE(controller.initSession());
    controller.setSampleRate(quint64(store.rate()) * 1000);
    EXPECT_TRUE(controller.decodeToEnd(&store, 120000));
    QCoreApplication::processEvents();
    std::lock_guard<std::mutex> lock(controller.listLock());
    return {controller.messages().begin(), controller.messages().end()};
}

struct RefMessage {
    qint64 start;
    QString sop, role, name;
    int id;
};

inline std::vector<RefMessage> readReference(const QString& path)
{
    std::vector<RefMessage> list;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return list;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QList<QByteArray> f = line.split('\t');
        if (f.size() == 5)
            list.push_back({f[0].toLongLong(), QString::fromUtf8(f[1]), QString::fromUtf8(f[2]),
                            QString::fromUtf8(f[4]), f[3].toInt()});
    }
    return list;
}

} // namespace kvqtest
