#include "files/waveformfile.h"

#include <QCoreApplication>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QTextCodec>
#include <QVariant>

#include <charconv>
#include <cmath>
#include <sqlite3.h>

namespace kvq::files {

const char* const kCreateTable =
    "CREATE TABLE IF NOT EXISTS data (voltage REAL NOT NULL,electric REAL NOT NULL,"
    "power REAL NOT NULL,dup REAL NOT NULL,ddown REAL NOT NULL,c1 REAL NOT NULL,"
    "c2 REAL NOT NULL,resistor REAL NOT NULL,energy REAL NOT NULL,"
    "capacity REAL NOT NULL,time INTEGER NOT NULL)";
const char* const kInsertRow =
    "INSERT INTO data (voltage,electric,power,dup,ddown,c1,c2,resistor,energy,capacity,"
    "time) VALUES (?,?,?,?,?,?,?,?,?,?,?)";

namespace {

// Titles in column order; QT_TRANSLATE_NOOP under both contexts so lupdate sees them.
const char* const kTitles[11] = {
    QT_TRANSLATE_NOOP("ThreadWork", "电压(V)"),  QT_TRANSLATE_NOOP("ThreadWork", "电流(A)"),
    QT_TRANSLATE_NOOP("ThreadWork", "功率(W)"),  QT_TRANSLATE_NOOP("ThreadWork", "D+(V)"),
    QT_TRANSLATE_NOOP("ThreadWork", "D-(V)"),    QT_TRANSLATE_NOOP("ThreadWork", "C1(V)"),
    QT_TRANSLATE_NOOP("ThreadWork", "C2(V)"),    QT_TRANSLATE_NOOP("ThreadWork", "电阻(R)"),
    QT_TRANSLATE_NOOP("ThreadWork", "能量(Wh)"), QT_TRANSLATE_NOOP("ThreadWork", "容量(Ah)"),
    QT_TRANSLATE_NOOP("ThreadWork", "时间(ms)"),
};
[[maybe_unused]] const char* const kAutoSaveTitles[11] = {
    QT_TRANSLATE_NOOP("WaveformData", "电压(V)"),  QT_TRANSLATE_NOOP("WaveformData", "电流(A)"),
    QT_TRANSLATE_NOOP("WaveformData", "功率(W)"),  QT_TRANSLATE_NOOP("WaveformData", "D+(V)"),
    QT_TRANSLATE_NOOP("WaveformData", "D-(V)"),    QT_TRANSLATE_NOOP("WaveformData", "C1(V)"),
    QT_TRANSLATE_NOOP("WaveformData", "C2(V)"),    QT_TRANSLATE_NOOP("WaveformData", "电阻(R)"),
    QT_TRANSLATE_NOOP("WaveformData", "能量(Wh)"), QT_TRANSLATE_NOOP("WaveformData", "容量(Ah)"),
    QT_TRANSLATE_NOOP("WaveformData", "时间(ms)"),
};

bool isLine(int column)
{
    return column >= 3 && column <= 6;
}

} // namespace

QByteArray csvHeader(bool offline, const char* context)
{
    QStringList titles;
    for (int c = 0; c < 11; ++c)
        if (!(offline && isLine(c)))
            titles << QCoreApplication::translate(context, kTitles[c]);
    QTextCodec* codec = QTextCodec::codecForName("GB2312");
    const QString header = titles.join(QLatin1Char(','));
    return codec ? codec->fromUnicode(header) : header.toUtf8();
}

void appendCsvRow(QByteArray& out, const float (&values)[10], qint64 time, bool offline)
{
    char buffer[256];
    char* p = buffer;
    *p++ = '\r';
    *p++ = '\n';
    for (int c = 0; c < 10; ++c) {
        if (offline && isLine(c))
            continue;
        // The same text as printf("%.6g"): shortest of fixed and exponent, no trailing zeros.
        p = std::to_chars(p, buffer + sizeof(buffer), double(values[c]), std::chars_format::general, 6).ptr;
        *p++ = ',';
    }
    p = std::to_chars(p, buffer + sizeof(buffer), time).ptr;
    out.append(buffer, int(p - buffer));
}

qint8 waveformFileType(const QString& path)
{
    return path.endsWith(QLatin1String(".csv")) ? 0 : 1;
}

int csvColumns(const QByteArray& header)
{
    return header.count(',') + 1;
}

bool parseCsvRow(const char* begin, const char* end, int columns, CsvRow* row)
{
    double fields[11];
    int n = 0;
    const char* p = begin;
    for (;;) {
        const char* comma = p;
        while (comma < end && *comma != ',')
            ++comma;
        if (n == columns || comma == p)
            return false; // too many fields, or an empty one
        // from_chars takes no leading '+' nor blanks; neither does a file we wrote.
        const auto [stop, error] = std::from_chars(p, comma, fields[n], std::chars_format::general);
        if (error != std::errc() || stop != comma || !std::isfinite(fields[n]))
            return false;
        ++n;
        if (comma == end)
            break;
        p = comma + 1;
    }
    if (n != columns)
        return false;
    if (columns == 11) {
        for (int c = 0; c < 10; ++c)
            row->values[c] = fields[c];
        row->time = qint64(fields[10]);
    } else {
        // voltage, current, power, resistance, energy, capacity, time
        const int to[6] = {0, 1, 2, 7, 8, 9};
        for (double& v : row->values)
            v = 0;
        for (int c = 0; c < 6; ++c)
            row->values[to[c]] = fields[c];
        row->time = qint64(fields[6]);
    }
    return true;
}

sqlite3* nativeHandle(const QSqlDatabase& db)
{
    const QVariant handle = db.driver() ? db.driver()->handle() : QVariant();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return nullptr;
    return *static_cast<sqlite3* const*>(handle.data());
}

RowInserter::RowInserter(sqlite3* db) : m_db(db)
{
    if (db && sqlite3_prepare_v2(db, kInsertRow, -1, &m_stmt, nullptr) != SQLITE_OK)
        m_stmt = nullptr;
}

RowInserter::~RowInserter()
{
    sqlite3_finalize(m_stmt);
}

bool RowInserter::insert(const float (&values)[10], qint64 time, bool offline)
{
    for (int c = 0; c < 10; ++c) {
        if (offline && isLine(c))
            sqlite3_bind_int(m_stmt, c + 1, 0);
        else
            sqlite3_bind_double(m_stmt, c + 1, double(values[c]));
    }
    sqlite3_bind_int64(m_stmt, 11, time);
    const bool done = sqlite3_step(m_stmt) == SQLITE_DONE;
    sqlite3_reset(m_stmt);
    return done;
}

bool RowInserter::exec(const char* sql)
{
    return m_db && sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

} // namespace kvq::files
