#include "app/qmltypes.h"

#include "app/sessioncontroller.h"
#include "app/setting.h"
#include "app/windowerror.h"
#include "decode/decodetablemodel.h"
#include "protocol/offlinerecordmodel.h"

#include <QtQml>

namespace kvq {

void registerQmlTypes()
{
    qmlRegisterType<OfflineRecordModel>("kvq.qml.Model", 1, 0, "OfflineRecordModel");
    qmlRegisterType<kvq::decode::DecodeTableModel>("kvq.qml.Model", 1, 0, "DecodeTableModel");
    qmlRegisterType<Setting>("kvq.qml.Controls", 1, 0, "QSetting");
    qmlRegisterType<SessionController>("kvq.qml.Controls", 1, 0, "SessionController");
    qmlRegisterType<WindowError>("kvq.qml.Controls", 1, 0, "WindowError");
}

} // namespace kvq
