#pragma once

// One decoded USB-PD packet as the message table, the detail view and the
// protocol data files see it.

#include <QString>
#include <QVector>

namespace kvq::decode {

struct PdDataItem {
    quint8 index = 0;
    QString value;      // the data object in hexadecimal
    QString detailName; // the payload text of the object
    QString detailText; // a "pd_detail_v1" document, or the payload text
    qint64 startSample = 0;
};

struct PdMessage {
    static constexpr float kUnset = -99999.0f;

    QString sop;
    QString name;
    QString role;
    QString raw;  // symbol digits, a space after every two
    QString note; // payload texts joined by four spaces
    QString crc;
    qint64 startSample = 0;
    qint64 time = 0; // milliseconds
    float vbus = kUnset;
    float ibus = kUnset;
    quint8 messageId = 255;
    quint8 objectCount = 255;
    quint8 revision = 255;
    quint8 cls = 0; // annotation class of the message annotation; 61 for attach/detach rows
    QString headerText;
    QString extHeaderText;
    quint8 type = 0;
    quint8 dataRole = 0;
    quint8 specRevision = 0;
    quint8 powerRole = 0;
    quint8 headerMessageId = 0;
    quint8 numObjects = 0;
    quint8 extended = 0;
    quint16 dataSize = 0;
    quint8 reserved = 0;
    quint8 requestChunk = 0;
    quint8 chunkNumber = 0;
    quint8 chunked = 0;
    QVector<PdDataItem> items;

    void setHeader(quint16 header);
    void setExtendedHeader(quint16 header);
};

} // namespace kvq::decode
