#pragma once

#include <QAbstractTableModel>
#include <QVector>

// The list of recordings kept in the meter, as the offline record panel shows it.
class OfflineRecordModel : public QAbstractTableModel {
    Q_OBJECT
    Q_PROPERTY(int dataCount READ getDataCount NOTIFY dataCountChanged)

public:
    enum Roles {
        IdRole = 1,
        NameRole,
        TotalTimeRole,
        IntervalRole,
        IntervalNumRole,
        TotalCountRole,
        TotalCountNumRole,
        MahRole,
        MahNumRole,
        MwhRole,
        MwhNumRole,
        TypeRole,
    };

    explicit OfflineRecordModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    Q_INVOKABLE void appendData(qint8 count, qint8 index, uint interval, uint totalTime, ushort totalCount,
                                float mah, float mwh, uchar type);
    Q_INVOKABLE void remove(qint8 index);
    Q_INVOKABLE int getDataCount() const { return m_rows.size(); }

signals:
    void dataCountChanged();

private:
    struct Row {
        qint8 index;
        uint interval;
        uint totalTime;
        ushort totalCount;
        float mah;
        float mwh;
        uchar type;
    };
    QVector<Row> m_rows;
};
