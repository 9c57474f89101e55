pragma Singleton
import QtQuick 2.15
import kvq.qml.Controls 1.0

// The user's settings, saved in the "system" section of set.ini in the data
// folder. Every property declared here is a setting; its initial value is the default.
QSetting {
    fileName: tempDir + "//set.ini"
    category: "system"

    property string cachePath: ""
    property string autoSavePath: ""
    property string notRemindVersion: ""
    property int autoSaveType: 0
    property bool autoSave: true
    property int measurementType: 0
    property bool autoCollect: true
    property bool showWithZero: false
    property bool waveformExtremaVisible: true
    property real voltageAlarmMinVal: 0
    property real voltageAlarmMaxVal: 5
    property bool voltageAlarm: false
    property bool voltageAlarmSound: false
    property real currentAlarmMinVal: 0
    property real currentAlarmMaxVal: 5
    property bool currentAlarm: false
    property bool currentAlarmSound: false
    property real powerAlarmMinVal: 0
    property real powerAlarmMaxVal: 100
    property bool powerAlarm: false
    property bool powerAlarmSound: false
    property var infoColor: []
    property var infoLineWidth: []
    property var infoShadow: []
}
