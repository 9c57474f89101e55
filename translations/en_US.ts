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
    <name>ThreadRead</name>
    <message>
        <location filename="../protocol/threadread.cpp" line="+217"/>
        <source>内存溢出，请使用64位软件或更高配置电脑！</source>
        <translation>Memory overflow. Please use a 64-bit version of the software or a computer with higher specifications!</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>数据异常，采集中止！</source>
        <translation>Data abnormal, data acquisition aborted!</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>数据超出限定值，无法继续采集！</source>
        <translation>Data exceeds the limit value, unable to continue acquisition!</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>内存映射文件创建失败，请检查缓存目录访问权限！</source>
        <translation>Failed to create memory-mapped file, please check the access permission of the cache directory!</translation>
    </message>
</context>
<context>
    <name>WaveformData</name>
    <message>
        <location filename="../waveform/waveformdata.cpp" line="+166"/>
        <source>内存不足，记录已停止，已记录的数据仍保留。</source>
        <translation>Out of memory: recording stopped; the data recorded so far is kept.</translation>
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
