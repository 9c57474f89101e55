#pragma once

// The PD message table: a window of at most 500 rows over the decode
// pipeline's messages (or over those that are not GoodCRC), moved as the view
// scrolls, with row colours by message kind and the structured detail of a
// message.

#include "decode/pdmessage.h"

#include <QAbstractTableModel>
#include <QColor>
#include <QJsonArray>

#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

namespace kvq::waveform {
class Segment;
}

namespace kvq::decode {

class DecodeController;

class DecodeTableModel : public QAbstractTableModel {
    Q_OBJECT
    Q_PROPERTY(int selectRow READ selectRow WRITE setSelectRow NOTIFY selectRowChanged)
    Q_PROPERTY(int minCount READ minCount WRITE setMinCount NOTIFY minCountChanged)

public:
    static constexpr int kWindow = 500;
    enum Roles { DisplayRole = 0, ColorRole = 1, SelectRole = 2 };

    // Without arguments (as QML makes it) the model shows the process-wide pipeline.
    DecodeTableModel(DecodeController* controller, waveform::Segment* store, QObject* parent = nullptr);
    ~DecodeTableModel() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    Q_INVOKABLE void clear();
    Q_INVOKABLE void appendRow();
    Q_INVOKABLE bool getShowScreen() const { return m_filterOn; }
    Q_INVOKABLE void setShowScreen(bool newShowScreen);
    Q_INVOKABLE int getCount() const { return m_rowCount; }
    Q_INVOKABLE QJsonArray getDetail(int row) const;
    Q_INVOKABLE int refreshBuffer(int y, double lineHeight);
    Q_INVOKABLE int getShowCount();
    Q_INVOKABLE int getShowFirst() const { return m_windowStart; }
    Q_INVOKABLE int scrollPosition(double position, double height, double lineHeight, bool bottom);
    Q_INVOKABLE void inputCLineInfo(QString cc, bool input);

    int selectRow() const { return m_selected < 0 ? -1 : m_selected - m_windowStart; }
    void setSelectRow(int row);
    int minCount() const { return m_minCount; }
    void setMinCount(int count);

    static QColor colorOf(int cls);
    static QString cellText(const PdMessage& m, int column);
    static QJsonArray detailOf(const PdMessage& m);
    // The entries of a "pd_detail_v1" document; none for any other text.
    static std::vector<std::pair<QString, QString>> parseDetail(const QString& text);

signals:
    void dataCountChanged();
    void showScreenChanged();
    void selectRowChanged();
    void minCountChanged();

private:
    int sourceSize() const; // with the controller's list lock held
    void refreshWindow(bool notice);
    void rebuild();
    void setRowCount(int count);

    DecodeController* m_controller = nullptr;
    waveform::Segment* m_store = nullptr;
    mutable std::mutex m_modelLock;  // guards m_window and m_filtered
    std::vector<PdMessage> m_window; // copies of the rows shown
    std::vector<size_t> m_filtered;  // indexes of the messages that are not GoodCRC
    size_t m_consumed = 0;
    int m_rowCount = 0;
    bool m_filterOn = false;
    int m_selected = -1;
    std::atomic<bool> m_rebuilding{false};
    std::atomic<bool> m_clearing{false};
    std::atomic<bool> m_appendPending{false};
    int m_windowStart = 0;
    int m_minCount = 0;
};

} // namespace kvq::decode
