#pragma once

#include <QString>
#include <QStringList>

namespace kvq {

// The per-user folders the program works in.
struct AppFolders {
    QString data;     // settings, logs, crash dumps
    QString log;      // data + "/log"
    QString crash;    // data + "/crash"
    QString temp;     // data + "/temp": default cache of capture buffers
    QString autoSave; // documents + "/Korvanex/KVQ-M/AutoSave"
};

// Forms the folders from the per-user data location (falling back to
// ~/.local/share/Korvanex/KVQ-M2_View) and the documents folder (falling back to
// home) and creates the data folder. Creation failures are not fatal: the
// paths are returned as formed and the users of each folder cope on their own.
AppFolders formAppFolders(const QString& dataLocation, const QString& documentsLocation);

// Creates `path` with its parents and returns it cleaned; empty stays empty.
QString makeCleanPath(const QString& path);

// The system information block written at the top of every log, one line each.
QStringList systemInfoLines();

} // namespace kvq
