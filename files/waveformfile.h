#pragma once

// The two waveform file layouts, CSV (GB2312 text) and SQLite (table "data"),
// shared by the file worker and the automatic recording: headers, rows and
// the fast paths that read and write them.

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <cstdint>

struct sqlite3;
struct sqlite3_stmt;
class QSqlDatabase;

namespace kvq::files {

// The header line (no line break) in the current UI language, GB2312-encoded;
// 11 titles, or 7 for an offline record. `context` is the translation context.
QByteArray csvHeader(bool offline, const char* context);

// Appends "\r\n" and one row: values with 6 significant digits, time as an integer.
void appendCsvRow(QByteArray& out, const float (&values)[10], qint64 time, bool offline);

// One parsed data line; false when it is not a row of `columns` fields that
// all convert (the line is then skipped).
struct CsvRow {
    double values[10];
    qint64 time;
};
bool parseCsvRow(const char* begin, const char* end, int columns, CsvRow* row);

// 0 (CSV) exactly when the path ends with ".csv", compared case-sensitively;
// everything else, ".CSV" included, is SQLite (1).
qint8 waveformFileType(const QString& path);

// Column count announced by a header line: its commas plus one.
int csvColumns(const QByteArray& header);

extern const char* const kCreateTable;
extern const char* const kInsertRow;

// The sqlite3 handle behind an open QSQLITE connection (null if none).
sqlite3* nativeHandle(const QSqlDatabase& db);

// A prepared INSERT bound and stepped through the C API: the driver's own
// QSqlQuery costs more than the insert itself.
class RowInserter {
public:
    explicit RowInserter(sqlite3* db);
    ~RowInserter();
    bool isValid() const { return m_stmt != nullptr; }
    bool insert(const float (&values)[10], qint64 time, bool offline);
    bool exec(const char* sql);

private:
    sqlite3* m_db;
    sqlite3_stmt* m_stmt = nullptr;
};

} // namespace kvq::files
