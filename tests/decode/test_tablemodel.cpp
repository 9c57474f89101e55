#include "decode/decodecontroller.h"
#include "decode/decodetablemodel.h"
#include "testsupport.h"

#include <QJsonDocument>
#include <QSignalSpy>

#include <gtest/gtest.h>

using kvq::decode::DecodeController;
using kvq::decode::DecodeTableModel;
using kvq::decode::PdMessage;

namespace {

class TableModel : public ::testing::Test {
protected:
    // Message i: GoodCRC when `goodCrc(i)`, else a Request with one object.
    void add(
        int count, bool (*goodCrc)(int) = [](int) { return false; })
    {
        std::lock_guard<std::mutex> lock(controller.listLock());
        for (int i = 0; i < count; ++i) {
            PdMessage m;
            const int n = int(controller.messages().size());
            m.startSample = n * 1000;
            m.time = n;
            m.name = goodCrc(n) ? QStringLiteral("GOOD CRC") : QStringLiteral("Request");
            m.messageId = quint8(n % 8);
            m.revision = 3;
            m.cls = 14;
            m.vbus = 5.0f;
            m.ibus = 0.5f;
            m.note = QString::number(n);
            controller.messages().push_back(m);
        }
    }
    QString cell(int row, int column) { return model.data(model.index(row, column), 0).toString(); }

    DecodeController controller;
    DecodeTableModel model{&controller, nullptr};
};

TEST_F(TableModel, RowsShowTheMessageFields)
{
    add(1);
    {
        std::lock_guard<std::mutex> lock(controller.listLock());
        PdMessage& m = controller.messages().front();
        m.sop = QStringLiteral("SOP");
        m.role = QStringLiteral("SNK");
        m.time = 3723004; // 1 h 2 min 3.004 s
        m.raw = QStringLiteral("12 34");
    }
    PdMessage bare; // no annotation, no measurement
    {
        std::lock_guard<std::mutex> lock(controller.listLock());
        controller.messages().push_back(bare);
    }
    model.appendRow();
    ASSERT_EQ(model.getCount(), 2);
    const QStringList expected = {"0",  "SOP",          "Request",         "0",     "SNK", "",
                                  "V3", "01:02:03.004", "5.000V / 0.500A", "12 34", "0"};
    for (int c = 0; c < 11; ++c)
        EXPECT_EQ(cell(0, c), expected[c]) << c;
    EXPECT_EQ(cell(1, 8), QStringLiteral("NA / NA"));
    EXPECT_EQ(cell(1, 3), QString());
    EXPECT_EQ(cell(1, 6), QString());
    EXPECT_EQ(model.data(model.index(1, 0), DecodeTableModel::ColorRole).value<QColor>(), QColor("#ff2668"));
    EXPECT_EQ(model.data(model.index(0, 0), DecodeTableModel::ColorRole).value<QColor>(), QColor("#729fcf"));
    EXPECT_FALSE(DecodeTableModel::colorOf(61).isValid());
    EXPECT_EQ(DecodeTableModel::colorOf(62 + 13), QColor("#4b0082"));
}

TEST_F(TableModel, GoodCrcFilterHidesAndShowsAgain)
{
    add(10, [](int i) { return i % 2 == 1; });
    model.appendRow();
    EXPECT_EQ(model.getShowCount(), 10);
    QSignalSpy shown(&model, &DecodeTableModel::showScreenChanged);
    model.setShowScreen(true);
    EXPECT_EQ(shown.count(), 1);
    EXPECT_EQ(model.getShowCount(), 5);
    EXPECT_EQ(cell(1, 10), QStringLiteral("2")); // message 1 (a GoodCRC) is skipped
    // New messages while filtering are filtered as they arrive.
    add(4, [](int i) { return i == 10; });
    model.appendRow();
    EXPECT_EQ(model.getShowCount(), 8);
    model.setShowScreen(false);
    EXPECT_EQ(model.getShowCount(), 14);
    EXPECT_EQ(cell(1, 2), QStringLiteral("GOOD CRC"));
    model.setShowScreen(false); // unchanged: no signal
    EXPECT_EQ(shown.count(), 2);
}

TEST_F(TableModel, WindowOfFiveHundredFollowsTheScrollbar)
{
    add(600);
    model.appendRow();
    EXPECT_EQ(model.getCount(), 500);
    EXPECT_EQ(model.scrollPosition(1.0, 300.0, 20.0, false), (500 - 15) * 20);
    EXPECT_EQ(model.getShowFirst(), 100);
    const QJsonArray detail = model.getDetail(499);
    ASSERT_FALSE(detail.isEmpty());
    EXPECT_EQ(cell(499, 0), QStringLiteral("599"));
    EXPECT_EQ(cell(499, 10), QStringLiteral("599"));
    EXPECT_TRUE(model.getDetail(500).isEmpty());
    // Near the top of the window the view moves it back, re-centred.
    EXPECT_EQ(model.refreshBuffer(10 * 20, 20.0), 100 * 20);
    EXPECT_EQ(model.getShowFirst(), 0);
    EXPECT_EQ(model.refreshBuffer(10 * 20, 20.0), 0); // already at the start
    model.scrollPosition(0.0, 300.0, 20.0, false);
    EXPECT_EQ(model.getShowFirst(), 0);
    // The selection is kept as an absolute index.
    model.setSelectRow(5);
    model.scrollPosition(1.0, 300.0, 20.0, false);
    EXPECT_EQ(model.selectRow(), -95);
}

TEST_F(TableModel, AttachRowsAndClear)
{
    model.inputCLineInfo(QStringLiteral("1"), true);
    model.inputCLineInfo(QStringLiteral("2"), false);
    ASSERT_EQ(model.getShowCount(), 2);
    EXPECT_EQ(cell(0, 10), QStringLiteral("Attach C1"));
    EXPECT_EQ(cell(1, 10), QStringLiteral("Detach C2"));
    EXPECT_EQ(cell(0, 3), QString());
    EXPECT_EQ(cell(0, 5), QString());
    EXPECT_EQ(cell(0, 6), QString());
    EXPECT_EQ(cell(0, 8), QStringLiteral("NA / NA"));
    EXPECT_TRUE(model.getDetail(0).isEmpty());
    EXPECT_FALSE(model.data(model.index(0, 0), DecodeTableModel::ColorRole).value<QColor>().isValid());
    model.setMinCount(20);
    model.clear();
    EXPECT_EQ(model.getShowCount(), 0);
    EXPECT_EQ(model.getCount(), 20); // the rows that fill the view stay, empty
    EXPECT_EQ(cell(3, 0), QStringLiteral("3"));
    EXPECT_EQ(cell(3, 2), QString());
    std::lock_guard<std::mutex> lock(controller.listLock());
    EXPECT_TRUE(controller.messages().empty());
}

TEST(Detail, GroupsOfAMessage)
{
    PdMessage m;
    m.sop = QStringLiteral("SOP");
    m.name = QStringLiteral("Source_Capabilities_Extended");
    m.headerText = QStringLiteral("b1a1");
    m.setHeader(0xb1a1);
    m.extHeaderText = QStringLiteral("8018");
    m.setExtendedHeader(0x8018);
    m.crc = QStringLiteral("deadbeef");
    m.items.append(
        {0, QStringLiteral("aa01"), QStringLiteral("VID"),
         QStringLiteral(R"({"format":"pd_detail_v1","items":[{"key":"Vendor ID","value":"0x01AA"}]})"), 0});
    m.items.append({1, QStringLiteral("bb02"), QStringLiteral("more"), QStringLiteral("more"), 9});
    const QJsonArray groups = DecodeTableModel::detailOf(m);
    const QString text = QString::fromUtf8(QJsonDocument(groups).toJson(QJsonDocument::Compact));
    // Summary, header, extended header, then per item: object group, fields (first only), spacer.
    ASSERT_EQ(groups.size(), 3 + 3 + 2);
    EXPECT_TRUE(text.startsWith(QStringLiteral(
        R"([[{"key":"_color","value":"#a2c3e8"},{"key":"SOP*","value":"SOP"},{"key":"Header","value":"B1A1"},)"
        R"({"key":"EHeader","value":"8018"},{"key":"Data Block","value":"AA01 BB02"},{"key":"CRC","value":"DEADBEEF"}])")))
        << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral(R"({"key":"Type[B4-0]","value":"01"})")));
    EXPECT_TRUE(text.contains(QStringLiteral(R"({"key":"Num Obj[B14-12]","value":"3"})")));
    EXPECT_TRUE(text.contains(QStringLiteral(R"({"key":"Data Size[B8-0]","value":"24"})")));
    EXPECT_TRUE(text.contains(QStringLiteral(R"({"key":"Chunked[B15]","value":"1"})")));
    EXPECT_TRUE(text.contains(
        QStringLiteral(R"([{"key":"_color","value":"#876294"},{"key":"Vendor ID","value":"0x01AA"}])")));
    EXPECT_TRUE(text.endsWith(QStringLiteral(R"([{"key":"_spacer","value":"10"}]])")));

    m.extHeaderText.clear(); // without an extended header: one entry per object
    const QString plain =
        QString::fromUtf8(QJsonDocument(DecodeTableModel::detailOf(m)).toJson(QJsonDocument::Compact));
    EXPECT_TRUE(
        plain.contains(QStringLiteral(R"({"key":"Data0","value":"AA01"},{"key":"Data1","value":"BB02"})")));
    EXPECT_FALSE(plain.contains(QStringLiteral("EHeader")));
}

TEST(Detail, DocumentFormat)
{
    struct Case {
        const char* text;
        std::vector<std::pair<QString, QString>> entries;
    };
    const Case cases[] = {
        {R"({"format":"pd_detail_v1","items":[{"key":"Raw","value":"x"},{"key":"Voltage","value":"5V"}]})",
         {{"Voltage", "5V"}}},
        {R"( {"format":"pd_detail_v1","items":[{"key":"Voltage","value":"5V"}]})", {}}, // not starting with {
        {R"({"format":"pd_detail_v2","items":[{"key":"Voltage","value":"5V"}]})", {}},
        {R"({"format":"pd_detail_v1","items":{"key":"Voltage"}})", {}},
        {R"({"format":"pd_detail_v1","items":[1,{"key":"","value":"x"},{"key":"N","value":3}]})",
         {{"N", "3"}}},
        {R"({"format":"pd_detail_v1","items":[{"key":"A")", {}}, // cut short
        {"Fixed 5V", {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DecodeTableModel::parseDetail(QString::fromUtf8(c.text)), c.entries) << c.text;
}

} // namespace
