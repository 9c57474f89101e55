#include "app/qmltypes.h"

#include "app/appcontext.h"

#include "app/base/setting.h"
#include "app/sessioncontroller.h"
#include "app/windowerror.h"
#include "decode/decodetablemodel.h"
#include "protocol/offlinerecordmodel.h"

#include <QtQml>

namespace kvq {
namespace {

// The table as the window creates it: on the program's pipeline and capture store.
class WindowDecodeTableModel : public decode::DecodeTableModel {
public:
    explicit WindowDecodeTableModel(QObject* parent = nullptr)
        : DecodeTableModel(AppContext::instance()->decodeController, AppContext::instance()->segment, parent)
    {}
};

} // namespace

void registerQmlTypes()
{
    qmlRegisterType<OfflineRecordModel>("kvq.qml.Model", 1, 0, "OfflineRecordModel");
    qmlRegisterType<WindowDecodeTableModel>("kvq.qml.Model", 1, 0, "DecodeTableModel");
    qmlRegisterType<Setting>("kvq.qml.Controls", 1, 0, "QSetting");
    qmlRegisterType<SessionController>("kvq.qml.Controls", 1, 0, "SessionController");
    qmlRegisterType<WindowError>("kvq.qml.Controls", 1, 0, "WindowError");
}

} // namespace kvq
