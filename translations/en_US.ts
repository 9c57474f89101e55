<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>ConnectDevice</name>
    <message>
        <location filename="../device/connectdevice.cpp" line="+108"/>
        <source>读取设备权限不足，请提升程序权限再尝试。</source>
        <translation>Insufficient Permissions to Access the Device; Please Elevate Program Privileges and Retry.</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>无设备可连接。</source>
        <translation>No Available Devices to Connect.</translation>
    </message>
    <message>
        <location line="+69"/>
        <source>固件版本过低，请升级固件后再使用。</source>
        <translation>The firmware version is too low. Please upgrade the firmware before using.</translation>
    </message>
    <message>
        <location line="+14"/>
        <source>设备连接异常</source>
        <translation>Device Connection Abnormal</translation>
    </message>
</context>
<context>
    <name>main</name>
    <message>
        <location filename="../qml/main.qml" line="+17"/>
        <location line="+38"/>
        <source>未连接设备</source>
        <translation>No Device Connected</translation>
    </message>
</context>
</TS>
