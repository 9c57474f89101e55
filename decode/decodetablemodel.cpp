#include "decode/decodetablemodel.h"

#include "decode/decodecontroller.h"
#include "waveform/segment.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <QThreadPool>

#include <algorithm>
#include <cmath>

namespace kvq::decode {

namespace {

const char* const kGoodCrc = "GOOD CRC";

const char* const kColors[62] = {
    "#ff2668", "#f66a32", "#fcae3e", "#fbca47", "#fce94f", "#cdf040", "#8ae234", "#4edc44", "#55d795",
    "#64d1d2", "#729fcf", "#d476c4", "#9d79b9", "#4b0082", "#729fcf", "#006400", "#dd6161", "#008b8b",
    "#f66a32", "#00bfff", "#a9a909", "#4edc44", "#55d795", "#dd6161", "#fcae3e", "#00008b", "#00008b",
    "#006400", "#006400", "#55d795", "#55d795", "#ff2668", "#ff2668", "#006400", "#00bfff", "#4b0082",
    "#4b0082", "#4b0082", "#4b0082", "#4b0082", "#006400", "#4b0082", "#4b0082", "#4b0082", "#ff2668",
    "#4edc44", "#006400", "#a9a909", "#4b0082", "#4b0082", "#006400", "#4b0082", "#4b0082", "#006400",
    "#dd6161", "#729fcf", "#00bfff", "#00bfff", "#ff2668", "#729fcf", "#dd6161", nullptr,
};

bool isGoodCrc(const PdMessage& m)
{
    return m.name == QLatin1String(kGoodCrc);
}

QJsonObject entry(const QString& key, const QString& value)
{
    return QJsonObject{{QStringLiteral("key"), key}, {QStringLiteral("value"), value}};
}

void waitWhile(const std::atomic<bool>& flag)
{
    while (flag.load()) {
        if (QThread::currentThread() == qApp->thread())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(50);
    }
}

} // namespace

DecodeTableModel::DecodeTableModel(DecodeController* controller, waveform::Segment* store, QObject* parent)
    : QAbstractTableModel(parent), m_controller(controller), m_store(store)
{}

DecodeTableModel::~DecodeTableModel()
{
    m_clearing = true;
    waitWhile(m_rebuilding);
}

int DecodeTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_rowCount;
}

int DecodeTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : 11;
}

QHash<int, QByteArray> DecodeTableModel::roleNames() const
{
    return {{DisplayRole, "display"}, {ColorRole, "color_"}, {SelectRole, "selectRow"}};
}

QColor DecodeTableModel::colorOf(int cls)
{
    const char* name = kColors[((cls % 62) + 62) % 62];
    return name ? QColor(QLatin1String(name)) : QColor();
}

QString DecodeTableModel::cellText(const PdMessage& m, int column)
{
    switch (column) {
    case 1:
        return m.sop;
    case 2:
        return m.name;
    case 3:
        return m.messageId == 255 ? QString() : QString::number(m.messageId);
    case 4:
        return m.role;
    case 5:
        return m.objectCount == 255 ? QString() : QString::number(m.objectCount);
    case 6:
        return m.revision == 255 ? QString() : QStringLiteral("V") + QString::number(m.revision);
    case 7: {
        const qint64 t = m.time;
        return QStringLiteral("%1:%2:%3.%4")
            .arg(t / 3600000, 2, 10, QLatin1Char('0'))
            .arg((t / 60000) % 60, 2, 10, QLatin1Char('0'))
            .arg((t / 1000) % 60, 2, 10, QLatin1Char('0'))
            .arg(t % 1000, 3, 10, QLatin1Char('0'));
    }
    case 8:
        if (m.vbus == PdMessage::kUnset)
            return QStringLiteral("NA / NA");
        return QString::number(double(m.vbus), 'f', 3) + QStringLiteral("V / ") +
               QString::number(double(m.ibus), 'f', 3) + QStringLiteral("A");
    case 9:
        return m.raw;
    case 10:
        return m.note;
    default:
        return QString();
    }
}

QVariant DecodeTableModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= m_rowCount)
        return {};
    const int row = index.row();
    if (role == SelectRole)
        return m_windowStart + row == m_selected;
    PdMessage m;
    bool inWindow = false;
    {
        std::lock_guard<std::mutex> lock(m_modelLock);
        if (row < int(m_window.size())) {
            m = m_window[size_t(row)];
            inWindow = true;
        }
    }
    if (role == ColorRole)
        return inWindow ? colorOf(m.cls) : QColor();
    if (role != DisplayRole && role != Qt::DisplayRole)
        return {};
    if (index.column() == 0)
        return QString::number(m_windowStart + row);
    return inWindow ? cellText(m, index.column()) : QString();
}

int DecodeTableModel::sourceSize() const
{
    return m_filterOn ? int(m_filtered.size()) : int(m_controller->messages().size());
}

void DecodeTableModel::setRowCount(int count)
{
    if (count > m_rowCount) {
        beginInsertRows(QModelIndex(), m_rowCount, count - 1);
        m_rowCount = count;
        endInsertRows();
    } else if (count < m_rowCount) {
        beginRemoveRows(QModelIndex(), count, m_rowCount - 1);
        m_rowCount = count;
        endRemoveRows();
    }
}

void DecodeTableModel::refreshWindow(bool notice)
{
    if (!m_controller)
        return;
    int size = 0;
    {
        std::lock_guard<std::mutex> list(m_controller->listLock());
        std::lock_guard<std::mutex> lock(m_modelLock);
        const std::deque<PdMessage>& messages = m_controller->messages();
        const int total = sourceSize();
        const int end = std::min(total, m_windowStart + kWindow);
        m_window.clear();
        for (int i = m_windowStart; i < end; ++i)
            m_window.push_back(m_filterOn ? messages[m_filtered[size_t(i)]] : messages[size_t(i)]);
        size = int(m_window.size());
    }
    if (m_clearing)
        return;
    setRowCount(std::max(size, m_minCount));
    if (notice && size > 1)
        emit dataChanged(index(0, 0), index(size - 1, 10));
}

void DecodeTableModel::appendRow()
{
    if (!m_controller)
        return;
    {
        std::lock_guard<std::mutex> list(m_controller->listLock());
        const std::deque<PdMessage>& messages = m_controller->messages();
        if (m_filterOn && messages.size() > m_consumed) {
            if (m_rebuilding) {
                m_appendPending = true;
            } else {
                std::lock_guard<std::mutex> lock(m_modelLock);
                for (size_t i = m_consumed; i < messages.size(); ++i)
                    if (!isGoodCrc(messages[i]))
                        m_filtered.push_back(i);
                m_consumed = messages.size();
            }
        }
    }
    refreshWindow(true);
    emit dataCountChanged();
}

void DecodeTableModel::setShowScreen(bool newShowScreen)
{
    if (newShowScreen == m_filterOn)
        return;
    setRowCount(m_minCount);
    {
        std::lock_guard<std::mutex> lock(m_modelLock);
        m_window.clear();
    }
    m_windowStart = 0;
    if (newShowScreen) {
        {
            std::lock_guard<std::mutex> lock(m_modelLock);
            m_rebuilding = true;
            m_clearing = false;
            m_consumed = 0;
            m_filtered.clear();
        }
        m_filterOn = true;
        rebuild();
    } else {
        waitWhile(m_rebuilding);
        m_filterOn = false;
        refreshWindow(true);
    }
    emit showScreenChanged();
    emit dataCountChanged();
}

void DecodeTableModel::rebuild()
{
    if (m_clearing || !m_controller)
        return;
    m_rebuilding = true;
    {
        std::lock_guard<std::mutex> list(m_controller->listLock());
        std::lock_guard<std::mutex> lock(m_modelLock);
        const std::deque<PdMessage>& messages = m_controller->messages();
        for (size_t i = m_consumed; i < messages.size() && !m_clearing; ++i)
            if (!isGoodCrc(messages[i]))
                m_filtered.push_back(i);
        m_consumed = messages.size();
    }
    // The window and the rows belong to the thread the view lives on.
    QMetaObject::invokeMethod(
        this,
        [this] {
            const int size = getShowCount();
            m_windowStart = std::max(0, std::min(m_windowStart, size - kWindow));
            refreshWindow(true);
        },
        QThread::currentThread() == thread() ? Qt::DirectConnection : Qt::QueuedConnection);
    if (m_appendPending.exchange(false) && !m_clearing) {
        QThreadPool::globalInstance()->start([this] { rebuild(); });
        return;
    }
    m_clearing = false;
    m_rebuilding = false;
}

void DecodeTableModel::clear()
{
    m_clearing = true;
    waitWhile(m_rebuilding);
    setRowCount(m_minCount);
    if (m_controller) {
        std::lock_guard<std::mutex> list(m_controller->listLock());
        std::lock_guard<std::mutex> lock(m_modelLock);
        m_controller->messages().clear();
        m_window.clear();
        m_filtered.clear();
        m_consumed = 0;
    }
    m_clearing = false;
    m_windowStart = 0;
    emit dataCountChanged();
}

int DecodeTableModel::getShowCount()
{
    if (!m_controller)
        return 0;
    std::lock_guard<std::mutex> list(m_controller->listLock());
    std::lock_guard<std::mutex> lock(m_modelLock);
    return sourceSize();
}

std::vector<std::pair<QString, QString>> DecodeTableModel::parseDetail(const QString& text)
{
    std::vector<std::pair<QString, QString>> entries;
    if (!text.startsWith(QLatin1Char('{')))
        return entries;
    const QJsonObject object = QJsonDocument::fromJson(text.toUtf8()).object();
    if (object.value(QStringLiteral("format")).toString() != QLatin1String("pd_detail_v1") ||
        !object.value(QStringLiteral("items")).isArray())
        return entries;
    for (const QJsonValue& item : object.value(QStringLiteral("items")).toArray()) {
        if (!item.isObject())
            continue;
        const QJsonObject o = item.toObject();
        const QString key = o.value(QStringLiteral("key")).toVariant().toString();
        if (key.isEmpty() || key == QLatin1String("Raw"))
            continue;
        entries.emplace_back(key, o.value(QStringLiteral("value")).toVariant().toString());
    }
    return entries;
}

QJsonArray DecodeTableModel::detailOf(const PdMessage& m)
{
    QJsonArray groups;
    if (m.note.startsWith(QLatin1String("Attach")) || m.note.startsWith(QLatin1String("Detach")))
        return groups;
    const bool hasExt = !m.extHeaderText.isEmpty();
    QJsonArray summary{entry(QStringLiteral("_color"), QStringLiteral("#a2c3e8")),
                       entry(QStringLiteral("SOP*"), m.sop),
                       entry(QStringLiteral("Header"), m.headerText.toUpper())};
    if (hasExt) {
        QStringList values;
        for (const PdDataItem& item : m.items)
            values << item.value.toUpper();
        summary.append(entry(QStringLiteral("EHeader"), m.extHeaderText.toUpper()));
        summary.append(entry(QStringLiteral("Data Block"), values.join(QLatin1Char(' '))));
    } else {
        for (const PdDataItem& item : m.items)
            summary.append(entry(QStringLiteral("Data") + QString::number(item.index), item.value.toUpper()));
    }
    summary.append(entry(QStringLiteral("CRC"), m.crc.toUpper()));
    groups.append(summary);

    groups.append(QJsonArray{
        entry(QStringLiteral("_color"), QStringLiteral("#175499")),
        entry(QStringLiteral("Header"), m.headerText.toUpper()),
        entry(QStringLiteral("Msg type"), m.name),
        entry(QStringLiteral("Type[B4-0]"),
              QStringLiteral("%1").arg(m.type, 2, 16, QLatin1Char('0')).toUpper()),
        entry(QStringLiteral("Data Role[B5]"), QString::number(m.dataRole)),
        entry(QStringLiteral("Rev[B7-6]"), QString::number(m.specRevision)),
        entry(QStringLiteral("Power Role[B8]"), QString::number(m.powerRole)),
        entry(QStringLiteral("Msg ID[B11-9]"), QString::number(m.headerMessageId)),
        entry(QStringLiteral("Num Obj[B14-12]"), QString::number(m.numObjects)),
        entry(QStringLiteral("Ext[B15]"), QString::number(m.extended)),
    });
    if (hasExt) {
        groups.append(QJsonArray{
            entry(QStringLiteral("_color"), QStringLiteral("#175499")),
            entry(QStringLiteral("EHeader"), m.extHeaderText.toUpper()),
            entry(QStringLiteral("Data Size[B8-0]"), QString::number(m.dataSize)),
            entry(QStringLiteral("Reserved[B9]"), QString::number(m.reserved)),
            entry(QStringLiteral("Request Chunk[B10]"), QString::number(m.requestChunk)),
            entry(QStringLiteral("Chunk Number[B14-11]"), QString::number(m.chunkNumber)),
            entry(QStringLiteral("Chunked[B15]"), QString::number(m.chunked)),
        });
    }
    for (const PdDataItem& item : m.items) {
        groups.append(
            QJsonArray{entry(QStringLiteral("_color"), QStringLiteral("#876294")),
                       entry(QStringLiteral("Data") + QString::number(item.index), item.value.toUpper()),
                       entry(QStringLiteral("Data type"), item.detailName)});
        const auto fields = parseDetail(item.detailText);
        if (!fields.empty()) {
            QJsonArray group{entry(QStringLiteral("_color"), QStringLiteral("#876294"))};
            for (const auto& field : fields)
                group.append(entry(field.first, field.second));
            groups.append(group);
        }
        groups.append(QJsonArray{entry(QStringLiteral("_spacer"), QStringLiteral("10"))});
    }
    return groups;
}

QJsonArray DecodeTableModel::getDetail(int row) const
{
    PdMessage m;
    {
        std::lock_guard<std::mutex> lock(m_modelLock);
        if (row < 0 || row >= int(m_window.size()))
            return {};
        m = m_window[size_t(row)];
    }
    return detailOf(m);
}

int DecodeTableModel::refreshBuffer(int y, double lineHeight)
{
    if (lineHeight <= 0)
        return 0;
    const int e = int(y / lineHeight);
    int f = 250 - e;
    const int size = getShowCount();
    if (e > 20 && e >= 480) {
        double result = 0;
        if (m_windowStart + kWindow < size) {
            m_windowStart -= f;
            result = f * lineHeight;
        } else {
            const int old = m_windowStart;
            m_windowStart = std::max(0, size - kWindow);
            const int shift = kWindow + old - size;
            if (shift == 0 || m_windowStart == old)
                return 0;
            result = shift * lineHeight;
        }
        refreshWindow(true);
        return int(result);
    }
    if (e <= 20 && m_windowStart > 0) {
        if (m_windowStart - f < 0)
            f = m_windowStart;
        m_windowStart -= f;
        refreshWindow(true);
        return int(f * lineHeight);
    }
    return 0;
}

int DecodeTableModel::scrollPosition(double position, double height, double lineHeight, bool bottom)
{
    if (lineHeight <= 0)
        return 0;
    const int n = getShowCount();
    const int at = int(n * position);
    m_windowStart = at - 250;
    if (m_windowStart + kWindow > n)
        m_windowStart = n - kWindow;
    m_windowStart = std::max(0, m_windowStart);
    refreshWindow(false);
    int g = at - m_windowStart;
    const double h = height / lineHeight;
    if (g + h > n - m_windowStart)
        g = int(n - m_windowStart - h);
    g = std::max(g, 0);
    const int last = std::min(m_rowCount - 1, g + int(std::ceil(h)));
    if (last >= g && m_rowCount > 0)
        emit dataChanged(index(g, 0), index(last, 10));
    double m = 0;
    if (bottom) {
        m = lineHeight - (height - std::floor(h) * lineHeight);
        if (m == lineHeight)
            m = 0;
    }
    return int(g * lineHeight + m);
}

void DecodeTableModel::inputCLineInfo(QString cc, bool input)
{
    if (!m_controller)
        return;
    PdMessage m;
    m.startSample = m_store ? m_store->sampleCount(0, false) : 0;
    m.time = qint64(double(m.startSample) * m_controller->msPerSample());
    {
        std::lock_guard<std::mutex> lock(m_controller->liveBus().lock);
        m.vbus = m_controller->liveBus().vbus;
        m.ibus = m_controller->liveBus().ibus;
    }
    m.note = (input ? QStringLiteral("Attach C") : QStringLiteral("Detach C")) + cc;
    m.cls = 61;
    {
        std::lock_guard<std::mutex> list(m_controller->listLock());
        m_controller->messages().push_back(m);
    }
    appendRow();
}

void DecodeTableModel::setSelectRow(int row)
{
    const int value = row < 0 ? -1 : m_windowStart + row;
    if (value == m_selected)
        return;
    m_selected = value;
    emit selectRowChanged();
}

void DecodeTableModel::setMinCount(int count)
{
    if (count == m_minCount)
        return;
    m_minCount = count;
    setRowCount(std::max(int(m_window.size()), m_minCount));
    emit minCountChanged();
}

} // namespace kvq::decode
