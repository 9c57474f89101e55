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
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t kChunk = 65536; // samples expanded at a time

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
    std::uint64_t cursor = 0;
    {
        std::lock_guard<std::mutex> lock(g_cursorLock);
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
            const std::uint8_t mask = std::uint8_t(1u << c);
            for (std::uint64_t i = 0; i < n; ++i)
                if ((bits[(offset + i) >> 3] >> ((offset + i) & 7)) & 1)
                    buffer[i] |= mask;
        }
        const int rc = srd_session_send(session, s, s + n, buffer.data(), n, 1);
        if (rc != SRD_OK)
            return rc;
        std::lock_guard<std::mutex> lock(g_cursorLock);
        g_cursor[session] = s + n;
    }
    return SRD_OK;
}

int kvq_session_send_eof(srd_session* session)
{
    // This library version has no end-of-data call: every instance stops
    // waiting and is reset, which ends its decoder thread cleanly. Packets are
    // emitted at their end of packet, so nothing completed is lost.
    return kvq_session_terminate_reset(session);
}

int kvq_session_terminate_reset(srd_session* session)
{
    {
        std::lock_guard<std::mutex> lock(g_cursorLock);
        g_cursor[session] = 0; // reset instances start again at sample 0
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
