#include "protocol/offlinerecordmodel.h"

namespace {

QString twoDigits(uint value)
{
    return QString::number(value).rightJustified(2, QLatin1Char('0'));
}

QString withThousands(float value, const char* small, const char* large)
{
    if (value >= 1000)
        return QString::number(double(value) / 1000.0, 'f', 4) + QLatin1String(large);
    return QString::number(double(value), 'f', 4) + QLatin1String(small);
}

} // namespace

OfflineRecordModel::OfflineRecordModel(QObject* parent) : QAbstractTableModel(parent) {}

int OfflineRecordModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_rows.size();
}

int OfflineRecordModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : 1;
}

QHash<int, QByteArray> OfflineRecordModel::roleNames() const
{
    return {{IdRole, "id"},
            {NameRole, "name"},
            {TotalTimeRole, "totalTime"},
            {IntervalRole, "interval"},
            {IntervalNumRole, "intervalNum"},
            {TotalCountRole, "totalCount"},
            {TotalCountNumRole, "totalCountNum"},
            {MahRole, "mah"},
            {MahNumRole, "mahNum"},
            {MwhRole, "mwh"},
            {MwhNumRole, "mwhNum"},
            {TypeRole, "type"}};
}

QVariant OfflineRecordModel::data(const QModelIndex& index, int role) const
{
    if (index.row() < 0 || index.row() >= m_rows.size())
        return QString();
    const Row& r = m_rows[index.row()];
    switch (role) {
    case IdRole:
        return int(r.index);
    case NameRole:
        return QStringLiteral("Group") + QString::number(r.index + 1);
    case TotalTimeRole:
        return QStringLiteral("%1:%2:%3")
            .arg(twoDigits(r.totalTime / 3600), twoDigits(r.totalTime / 60 % 60),
                 twoDigits(r.totalTime % 60));
    case IntervalRole:
        return r.interval < 1000 ? QString::number(r.interval) + QStringLiteral(" ms")
                                 : QString::number(r.interval / 1000) + QStringLiteral(" s");
    case IntervalNumRole:
        return r.interval;
    case TotalCountRole:
        return QString::number(r.totalCount) + QStringLiteral(" Points");
    case TotalCountNumRole:
        return int(r.totalCount);
    case MahRole:
        return withThousands(r.mah, " mAH", " AH");
    case MahNumRole:
        return r.mah;
    case MwhRole:
        return withThousands(r.mwh, " mWH", " WH");
    case MwhNumRole:
        return r.mwh;
    case TypeRole:
        return int(r.type);
    default:
        return QString();
    }
}

void OfflineRecordModel::appendData(qint8 count, qint8 index, uint interval, uint totalTime,
                                    ushort totalCount, float mah, float mwh, uchar type)
{
    if (count == 0) {
        remove(-1);
        return;
    }
    beginInsertRows(QModelIndex(), m_rows.size(), m_rows.size());
    m_rows.append({index, interval, totalTime, totalCount, mah, mwh, type});
    endInsertRows();
    emit dataCountChanged();
}

void OfflineRecordModel::remove(qint8 index)
{
    if (index < 0) {
        while (!m_rows.isEmpty()) {
            beginRemoveRows(QModelIndex(), 0, 0);
            m_rows.removeFirst();
            endRemoveRows();
        }
        emit dataCountChanged();
        return;
    }
    for (int i = 0; i < m_rows.size(); ++i) {
        if (m_rows[i].index != index)
            continue;
        beginRemoveRows(QModelIndex(), i, i);
        m_rows.removeAt(i);
        endRemoveRows();
        emit dataCountChanged();
        return;
    }
}
