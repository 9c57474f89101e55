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
    <name>DecodeController</name>
    <message>
        <location filename="../decode/decodecontroller.cpp" line="+197"/>
        <source>内存不足，请检查内存。</source>
        <translation>Insufficient memory. Please check memory status.</translation>
    </message>
</context>
<context>
    <name>ProtocolFile</name>
    <message>
        <location filename="../files/protocolfile.cpp" line="+61"/>
        <location line="+22"/>
        <source>生成通道%1配置文件失败。</source>
        <translation>Failed to Generate Channel %1 Configuration File.</translation>
    </message>
    <message>
        <location line="-4"/>
        <source>生成原始文件失败。</source>
        <translation>Failed to Generate Raw File.</translation>
    </message>
    <message>
        <location line="+11"/>
        <source>缺失通道%1数据目录，已经跳过。</source>
        <translation>Missing Channel %1 Data Directory; Skipped.</translation>
    </message>
    <message>
        <location line="+5"/>
        <source>读取通道%1配置文件失败，已经跳过。</source>
        <translation>Failed to Read Channel %1 Configuration File; Skipped.</translation>
    </message>
    <message>
        <location line="+21"/>
        <location line="+4"/>
        <source>读取原始文件失败。</source>
        <translation>Failed to Read Raw File.</translation>
    </message>
    <message>
        <location line="+17"/>
        <source>申请内存失败，无法写入数据。</source>
        <translation>Failed to Allocate Memory; Cannot Write Data.</translation>
    </message>
    <message>
        <location line="+47"/>
        <source>保存工程失败。</source>
        <translation>Failed to Save the Project.</translation>
    </message>
    <message>
        <location line="+6"/>
        <source>生成通道配置文件失败。</source>
        <translation>Failed to Generate Channel Configuration File.</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>生成电流记录文件失败。</source>
        <translation>Failed to Generate Current Log File.</translation>
    </message>
    <message>
        <location line="+5"/>
        <source>生成压缩文件失败。</source>
        <translation>Failed to Generate Compressed File.</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>保存工程异常，错误信息:%1</source>
        <translation>Project Saving Exception; Error Message: %1</translation>
    </message>
    <message>
        <location line="+5"/>
        <source>文件被占用，无法删除文件。</source>
        <translation>File Is in Use; Cannot Delete the File.</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>文件被占用，无法覆盖文件。</source>
        <translation>File Is in Use; Cannot Overwrite the File.</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>保存协议文件：</source>
        <translation>Save Protocol File:</translation>
    </message>
    <message>
        <location line="+16"/>
        <source>解压缩文件失败。</source>
        <translation>Failed to Decompress the File.</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>通道配置文件缺失。</source>
        <translation>Channel Configuration File Is Missing.</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>读取通道配置文件失败。</source>
        <translation>Failed to Read Channel Configuration File.</translation>
    </message>
    <message>
        <location line="+12"/>
        <source>读取电流记录文件失败。</source>
        <translation>Failed to Read Current Log File.</translation>
    </message>
    <message>
        <location line="+8"/>
        <source>加载工程异常，错误信息:%1</source>
        <translation>Project Loading Exception; Error Message: %1</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>加载协议文件：</source>
        <translation>Load Protocol File:</translation>
    </message>
</context>
<context>
    <name>SessionController</name>
    <message>
        <location filename="../app/sessioncontroller.cpp" line="+212"/>
        <source>自动保存路径：</source>
        <translation>Auto-Save Path:</translation>
    </message>
    <message>
        <location line="+193"/>
        <source>加载协议文件：</source>
        <translation>Load Protocol File:</translation>
    </message>
    <message>
        <location line="+90"/>
        <source>自动保存创建文件失败。</source>
        <translation>Failed to Create File for Auto-Save.</translation>
    </message>
    <message>
        <location line="+14"/>
        <source>保存波形文件：</source>
        <translation>Save Waveform File:</translation>
    </message>
</context>
<context>
    <name>SigrokFile</name>
    <message>
        <location filename="../files/sigrokfile.cpp" line="+107"/>
        <source>不是 sigrok 会话文件。</source>
        <translation>Not a sigrok session file.</translation>
    </message>
    <message>
        <location line="+5"/>
        <source>sigrok 会话文件缺少 metadata。</source>
        <translation>The sigrok session file has no metadata.</translation>
    </message>
    <message>
        <location line="+8"/>
        <source>sigrok 会话文件的采样率、探头或数据格式无法使用。</source>
        <translation>The sample rate, probes or data format of the sigrok session file cannot be used.</translation>
    </message>
    <message>
        <location line="+13"/>
        <location line="+60"/>
        <source>sigrok 会话文件没有采样数据。</source>
        <translation>The sigrok session file holds no samples.</translation>
    </message>
    <message>
        <location line="-50"/>
        <source>sigrok 会话文件中没有探头 %1。</source>
        <translation>The sigrok session file has no probe %1.</translation>
    </message>
    <message>
        <location line="+25"/>
        <source>sigrok 会话文件已损坏。</source>
        <translation>The sigrok session file is damaged.</translation>
    </message>
    <message>
        <location line="+47"/>
        <source>申请内存失败，无法写入数据。</source>
        <translation>Failed to Allocate Memory; Cannot Write Data.</translation>
    </message>
</context>
<context>
    <name>ThreadRead</name>
    <message>
        <location filename="../protocol/threadread.cpp" line="+199"/>
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
    <name>ThreadWork</name>
    <message>
        <location filename="../files/threadwork.cpp" line="+89"/>
        <location line="+43"/>
        <source>保存波形文件：无法打开文件</source>
        <translation>Saving waveform file: Failed to open file</translation>
    </message>
    <message>
        <location line="-39"/>
        <source>保存波形文件：保存完成。</source>
        <translation>Saving waveform file: Completed</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>保存波形文件：停止保存。</source>
        <translation>Saving waveform file: Stop</translation>
    </message>
    <message>
        <location line="+43"/>
        <source>保存波形文件：创建表失败</source>
        <translation>Saving waveform file: Failed to create table</translation>
    </message>
    <message>
        <location line="+32"/>
        <source>打开文件成功。</source>
        <translation>File opened successfully.</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>停止打开文件。</source>
        <translation>Stop opening files.</translation>
    </message>
    <message>
        <location line="+9"/>
        <location line="+67"/>
        <source>打开文件失败：</source>
        <translation>Failed to open file:</translation>
    </message>
    <message>
        <location line="-29"/>
        <source>文件数据异常，无法识别。</source>
        <translation>File data is corrupted or unrecognized.</translation>
    </message>
    <message>
        <location filename="../files/waveformfile.cpp" line="+28"/>
        <source>电压(V)</source>
        <translation>Voltage(V)</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>电流(A)</source>
        <translation>Current(A)</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>功率(W)</source>
        <translation>Power(W)</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>D+(V)</source>
        <translation>D+(V)</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>D-(V)</source>
        <translation>D-(V)</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>C1(V)</source>
        <translation>C1(V)</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>C2(V)</source>
        <translation>C2(V)</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>电阻(R)</source>
        <translation>Resistance(R)</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>能量(Wh)</source>
        <translation>Energy(Wh)</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>容量(Ah)</source>
        <translation>Capacity(Ah)</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>时间(ms)</source>
        <translation>Time(ms)</translation>
    </message>
</context>
<context>
    <name>WaveformData</name>
    <message>
        <location filename="../waveform/waveformdata.cpp" line="+181"/>
        <source>内存不足，记录已停止，已记录的数据仍保留。</source>
        <translation>Out of memory: recording stopped; the data recorded so far is kept.</translation>
    </message>
    <message>
        <location filename="../files/autosave.cpp" line="+79"/>
        <location line="+53"/>
        <source>自动保存写入文件失败，自动保存已停止。</source>
        <translation>Failed to write the auto-save file; auto-save stopped.</translation>
    </message>
    <message>
        <location line="-43"/>
        <location line="+53"/>
        <source>自动保存文件完成。</source>
        <translation>Auto-saving file completed.</translation>
    </message>
    <message>
        <location line="+40"/>
        <source>自动保存文件：</source>
        <translation>Auto-save file:</translation>
    </message>
    <message>
        <location filename="../files/waveformfile.cpp" line="+3"/>
        <source>电压(V)</source>
        <translation>Voltage(V)</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>电流(A)</source>
        <translation>Current(A)</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>功率(W)</source>
        <translation>Power(W)</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>D+(V)</source>
        <translation>D+(V)</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>D-(V)</source>
        <translation>D-(V)</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>C1(V)</source>
        <translation>C1(V)</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>C2(V)</source>
        <translation>C2(V)</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>电阻(R)</source>
        <translation>Resistance(R)</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>能量(Wh)</source>
        <translation>Energy(Wh)</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>容量(Ah)</source>
        <translation>Capacity(Ah)</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>时间(ms)</source>
        <translation>Time(ms)</translation>
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
