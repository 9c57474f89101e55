#include "decode/runtime.h"

#include <Python.h>

#include <QByteArray>
#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t kChunk = 65536;   // samples expanded at a time
constexpr std::uint64_t kEofTail = 65536; // idle samples that close the data

// A line to the library's log callback, as the library itself writes one.
int logAt(int level, const char* format, ...)
{
    srd_log_callback callback = nullptr;
    void* data = nullptr;
    srd_log_callback_get(&callback, &data);
    if (!callback)
        return 0;
    va_list args;
    va_start(args, format);
    const int r = callback(data, level, format, args);
    va_end(args);
    return r;
}

// customoutput: the interpreter's standard output, into the library log.
PyObject* customWrite(PyObject*, PyObject* args)
{
    const char* text = nullptr;
    if (!PyArg_ParseTuple(args, "s", &text))
        return nullptr;
    if (std::strcmp(text, "\n") != 0) // print() sends its line break on its own
        logAt(0, "%s", text);         // level 0: always delivered
    Py_RETURN_NONE;
}

PyObject* customFlush(PyObject*, PyObject*)
{
    Py_RETURN_NONE;
}

PyMethodDef g_methods[] = {
    {"write", customWrite, METH_VARARGS, "Write text to buffer."},
    {"flush", customFlush, METH_NOARGS, "Flush the buffer."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>("Custom output objects")},
    {Py_tp_methods, g_methods},
    {Py_tp_new, reinterpret_cast<void*>(&PyType_GenericNew)},
    {0, nullptr},
};

PyType_Spec g_spec = {"customoutput.CustomOutput", int(sizeof(PyObject)), 0, Py_TPFLAGS_DEFAULT, g_slots};

PyModuleDef g_module = {PyModuleDef_HEAD_INIT,
                        "customoutput",
                        "Module that creates a custom output object.",
                        -1,
                        nullptr,
                        nullptr,
                        nullptr,
                        nullptr,
                        nullptr};

PyMODINIT_FUNC initCustomOutput()
{
    PyObject* module = PyModule_Create(&g_module);
    PyObject* type = module ? PyType_FromSpec(&g_spec) : nullptr;
    if (!type) {
        Py_XDECREF(module);
        return nullptr;
    }
    PyModule_AddObject(module, "CustomOutput", type); // steals the reference
    return module;
}

void replaceStdout()
{
    const PyGILState_STATE gil = PyGILState_Ensure();
    PyObject* module = PyImport_ImportModule("customoutput");
    PyObject* type = module ? PyObject_GetAttrString(module, "CustomOutput") : nullptr;
    PyObject* output = type ? PyObject_CallObject(type, nullptr) : nullptr;
    if (output)
        PySys_SetObject("stdout", output);
    Py_XDECREF(output);
    Py_XDECREF(type);
    Py_XDECREF(module);
    PyErr_Clear();
    PyGILState_Release(gil);
}

std::string g_origin;

// Where each session's next chunk must start: the library of this version
// refuses a gap silently, and the log should say why.
std::mutex g_cursorLock;
std::map<srd_session*, std::uint64_t> g_cursor;
// The levels of each session's last sample, continued at the end of the data.
std::map<srd_session*, std::uint8_t> g_lastLevels;
// Sessions asked to terminate: a send in progress then reports it.
std::set<srd_session*> g_terminated;
// Held across each hand-over of samples and across a terminate: this library
// version loses a send that starts while its instance is being terminated
// (the sender then waits for a decoder thread that is gone).
std::map<srd_session*, std::shared_ptr<std::mutex>> g_sendLocks;

std::shared_ptr<std::mutex> sendLockOf(srd_session* session)
{
    std::lock_guard<std::mutex> lock(g_cursorLock);
    std::shared_ptr<std::mutex>& entry = g_sendLocks[session];
    if (!entry)
        entry = std::make_shared<std::mutex>();
    return entry;
}

// Decoders loaded from a folder that is not ours: never handed out.
std::set<std::string> g_refused;

// Each byte of bit data as eight one-byte samples of channel 0.
struct ExpandTable {
    std::uint64_t bytes[256];
    ExpandTable()
    {
        for (int b = 0; b < 256; ++b) {
            std::uint64_t v = 0;
            for (int i = 0; i < 8; ++i)
                v |= std::uint64_t((b >> i) & 1) << (8 * i);
            bytes[b] = v;
        }
    }
};
const ExpandTable g_expand;

} // namespace

int kvq_init(const char* applicationDir)
{
    const QString dir = QString::fromUtf8(applicationDir);
    // An interpreter of our own beside the program is used only when it exists;
    // otherwise the system's Python with its own home.
    if (QFileInfo(dir + QStringLiteral("/kvq_python")).isDir()) {
        ::setenv("PYTHONHOME", dir.toUtf8().constData(), 1);
        ::setenv("PYTHONPATH", (dir + QStringLiteral("/kvq_python")).toUtf8().constData(), 1);
    }
    if (!Py_IsInitialized())
        PyImport_AppendInittab("customoutput", &initCustomOutput);
    const QByteArray decoders = (dir + QStringLiteral("/decoders")).toUtf8();
    const int rc = srd_init(decoders.constData());
    if (rc == SRD_OK)
        replaceStdout();
    return rc;
}

int kvq_exit()
{
    return srd_exit();
}

int kvq_decoder_load_all()
{
    return srd_decoder_load_all();
}

const GSList* kvq_decoder_list()
{
    return srd_decoder_list();
}

const srd_decoder* kvq_decoder_get(const char* id)
{
    {
        std::lock_guard<std::mutex> lock(g_cursorLock);
        if (id && g_refused.count(id))
            return nullptr;
    }
    return srd_decoder_get_by_id(id);
}

srd_session* kvq_decoder_session_new()
{
    srd_session* session = nullptr;
    return srd_session_new(&session) == SRD_OK ? session : nullptr;
}

int kvq_session_destroy(srd_session* session)
{
    {
        std::lock_guard<std::mutex> lock(g_cursorLock);
        g_cursor.erase(session);
        g_lastLevels.erase(session);
        g_terminated.erase(session);
        g_sendLocks.erase(session);
    }
    return srd_session_destroy(session);
}

int kvq_session_samplerate_set(srd_session* session, std::uint64_t hz)
{
    return srd_session_metadata_set(session, SRD_CONF_SAMPLERATE, g_variant_new_uint64(hz));
}

srd_decoder_inst* kvq_inst_new(srd_session* session, const char* id, GHashTable* options)
{
    return srd_inst_new(session, id, options);
}

int kvq_inst_channel_set_all(srd_decoder_inst* instance, GHashTable* channels)
{
    return srd_inst_channel_set_all(instance, channels);
}

int kvq_pd_output_callback_add(srd_session* session, int outputType, srd_pd_output_callback callback,
                               void* context)
{
    return srd_pd_output_callback_add(session, outputType, callback, context);
}

int kvq_session_start(srd_session* session)
{
    return srd_session_start(session);
}

int kvq_session_send(srd_session* session, std::uint64_t start, std::uint64_t end,
                     const KvqSampleSource* table, int channels)
{
    if (!session || !table || channels < 1 || channels > 8) {
        logAt(SRD_LOG_ERR, "%s", table ? "empty decoder instance" : "NULL buffer pointer");
        return SRD_ERR_ARG;
    }
    const std::shared_ptr<std::mutex> sendLock = sendLockOf(session);
    std::lock_guard<std::mutex> sending(*sendLock);
    std::uint64_t cursor = 0;
    {
        std::lock_guard<std::mutex> lock(g_cursorLock);
        if (g_terminated.count(session))
            return SRD_ERR_TERM_REQ;
        cursor = g_cursor[session];
    }
    if (start != cursor || end < start) {
        logAt(SRD_LOG_ERR, "Incorrect sample numbers: start=%llu, cur=%llu, end=%llu.",
              (unsigned long long)start, (unsigned long long)cursor, (unsigned long long)end);
        return SRD_ERR_ARG;
    }
    // One buffer per feeding thread, reused chunk after chunk.
    thread_local std::vector<std::uint8_t> buffer;
    buffer.resize(kChunk);
    std::uint8_t constant = 0;
    for (int c = 0; c < channels; ++c)
        if (!table[c].bits && table[c].level)
            constant |= std::uint8_t(1u << c);
    for (std::uint64_t s = start; s < end; s += kChunk) {
        const std::uint64_t n = std::min(kChunk, end - s);
        std::memset(buffer.data(), constant, n);
        for (int c = 0; c < channels; ++c) {
            const std::uint8_t* bits = table[c].bits;
            if (!bits)
                continue;
            const std::uint64_t offset = s - start; // a multiple of 8: chunks start on bytes
            std::uint64_t i = 0;
            // Whole bytes eight samples at a time (the capture's one channel
            // is channel 0 and the other bits of the buffer are constants).
            for (const std::uint8_t* in = bits + (offset >> 3); i + 8 <= n; i += 8, ++in) {
                std::uint64_t word;
                std::memcpy(&word, &buffer[i], 8);
                word |= g_expand.bytes[*in] << c;
                std::memcpy(&buffer[i], &word, 8);
            }
            const std::uint8_t mask = std::uint8_t(1u << c);
            for (; i < n; ++i)
                if ((bits[(offset + i) >> 3] >> ((offset + i) & 7)) & 1)
                    buffer[i] |= mask;
        }
        const int rc = srd_session_send(session, s, s + n, buffer.data(), n, 1);
        if (rc != SRD_OK)
            return rc;
        std::lock_guard<std::mutex> lock(g_cursorLock);
        g_cursor[session] = s + n;
        if (n > 0)
            g_lastLevels[session] = buffer[n - 1];
    }
    return SRD_OK;
}

int kvq_session_send_eof(srd_session* session)
{
    // This library version has no end-of-data call. The line is continued at
    // its last levels for a while first, so that a decoder that waits for the
    // line to settle after a packet sees it settle; then every instance stops
    // waiting and is reset, which ends its decoder thread cleanly.
    std::uint64_t cursor = 0;
    std::uint8_t levels = 0;
    bool terminated = false;
    {
        std::lock_guard<std::mutex> lock(g_cursorLock);
        cursor = g_cursor[session];
        levels = g_lastLevels[session];
        terminated = g_terminated.count(session) > 0;
    }
    if (session && cursor > 0 && !terminated) {
        std::vector<KvqSampleSource> tail(8);
        for (int c = 0; c < 8; ++c)
            tail[size_t(c)] = KvqSampleSource{nullptr, std::uint8_t((levels >> c) & 1)};
        kvq_session_send(session, cursor, cursor + kEofTail, tail.data(), 8);
    }
    return kvq_session_terminate_reset(session);
}

int kvq_session_terminate_reset(srd_session* session)
{
    const std::shared_ptr<std::mutex> sendLock = sendLockOf(session);
    std::lock_guard<std::mutex> sending(*sendLock);
    {
        std::lock_guard<std::mutex> lock(g_cursorLock);
        g_cursor[session] = 0; // reset instances start again at sample 0
        g_lastLevels.erase(session);
        g_terminated.insert(session);
    }
    return srd_session_terminate_reset(session);
}

int kvq_log_callback_set(srd_log_callback callback, void* context)
{
    return srd_log_callback_set(callback, context);
}

int kvq_log_loglevel_set(int level)
{
    return srd_log_loglevel_set(level);
}

const char* kvq_decoder_origin(const char* id)
{
    g_origin.clear();
    if (!Py_IsInitialized())
        return g_origin.c_str();
    const PyGILState_STATE gil = PyGILState_Ensure();
    PyObject* modules = PySys_GetObject("modules"); // borrowed
    PyObject* module = modules ? PyDict_GetItemString(modules, id) : nullptr;
    PyObject* file = module ? PyObject_GetAttrString(module, "__file__") : nullptr;
    if (file && PyUnicode_Check(file))
        g_origin = PyUnicode_AsUTF8(file);
    Py_XDECREF(file);
    PyErr_Clear();
    PyGILState_Release(gil);
    return g_origin.c_str();
}

namespace kvq::decode {

bool decoderIsFrom(const char* id, const QString& folder)
{
    const QString origin = QString::fromUtf8(kvq_decoder_origin(id));
    const QString canonicalOrigin = QFileInfo(origin).canonicalFilePath();
    const QString canonicalFolder = QFileInfo(folder).canonicalFilePath();
    if (!origin.isEmpty() && !canonicalFolder.isEmpty() &&
        canonicalOrigin.startsWith(canonicalFolder + QLatin1Char('/'))) {
        std::lock_guard<std::mutex> lock(g_cursorLock);
        g_refused.erase(id);
        return true;
    }
    {
        std::lock_guard<std::mutex> lock(g_cursorLock);
        g_refused.insert(id);
    }
    logAt(SRD_LOG_ERR, "Decoder %s comes from '%s', not from '%s'; refused.", id, origin.toUtf8().constData(),
          folder.toUtf8().constData());
    return false;
}

int startDecoderRuntime(const QString& applicationDir)
{
    if (kvq_init(applicationDir.toUtf8().constData()) != 0)
        return 1;
    if (kvq_decoder_load_all() != 0)
        return 2;
    // The library also loads decoders of the same id from its system folders
    // and from SIGROKDECODE_DIR; only our own USB-PD decoder is trusted.
    return decoderIsFrom("usb_power_delivery", applicationDir + QStringLiteral("/decoders")) ? 0 : 2;
}

int checkLoadedDecoders()
{
    return kvq_decoder_list() ? 0 : 3;
}

} // namespace kvq::decode
