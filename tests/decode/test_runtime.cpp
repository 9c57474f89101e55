#include "decode/runtime.h"
#include "testsupport.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// A decoder of our own for the runtime's tests: marks rising edges of one line
// and prints once when it starts.
const char* const kInit = "'''\nMarks rising edges (runtime test).\n'''\nfrom .pd import Decoder\n";
const char* const kDecoder = R"(import sigrokdecode as srd

class Decoder(srd.Decoder):
    api_version = 3
    id = 'kvqtest'
    name = 'KVQ test'
    longname = 'KVQ runtime test decoder'
    desc = 'Marks rising edges.'
    license = 'mit'
    inputs = ['logic']
    outputs = []
    tags = ['Debug']
    channels = ({'id': 'data', 'name': 'Data', 'desc': 'Data line'},)
    annotations = (('edge', 'Rising edge'),)

    def __init__(self):
        self.reset()

    def reset(self):
        pass

    def start(self):
        self.out_ann = self.register(srd.OUTPUT_ANN)
        print('x')

    def decode(self):
        while True:
            self.wait({0: 'r'})
            if self.samplenum >= 1000000:
                raise ValueError('edge beyond the test range')
            self.put(self.samplenum, self.samplenum, self.out_ann, [0, ['r']])
)";

std::mutex g_lock;
std::vector<std::string> g_lines;
std::vector<uint64_t> g_edges;

int onLog(void*, int, const char* format, va_list args)
{
    char line[2048];
    vsnprintf(line, sizeof(line), format, args);
    std::lock_guard<std::mutex> lock(g_lock);
    g_lines.emplace_back(line);
    return 0;
}

void onAnnotation(srd_proto_data* data, void*)
{
    std::lock_guard<std::mutex> lock(g_lock);
    g_edges.push_back(data->start_sample);
}

bool logged(const std::string& text)
{
    std::lock_guard<std::mutex> lock(g_lock);
    for (const std::string& line : g_lines)
        if (line.find(text) != std::string::npos)
            return true;
    return false;
}

} // namespace

// kvq_init runs once per process, so one test walks through the runtime.
TEST(DecoderRuntime, LoadsOurDecoderAndFeedsItFromBitSources)
{
    QTemporaryDir app;
    ASSERT_TRUE(QDir().mkpath(app.path() + "/decoders/kvqtest"));
    ASSERT_TRUE(kvqtest::writeAll(app.path() + "/decoders/kvqtest/__init__.py", kInit));
    ASSERT_TRUE(kvqtest::writeAll(app.path() + "/decoders/kvqtest/pd.py", kDecoder));

    // A decoder of our USB-PD decoder's id in the folder the environment
    // puts first: loaded by the library, refused by us.
    QTemporaryDir foreign;
    ASSERT_TRUE(QDir().mkpath(foreign.path() + "/usb_power_delivery"));
    ASSERT_TRUE(kvqtest::writeAll(foreign.path() + "/usb_power_delivery/__init__.py", kInit));
    ASSERT_TRUE(kvqtest::writeAll(foreign.path() + "/usb_power_delivery/pd.py",
                                  QByteArray(kDecoder).replace("'kvqtest'", "'usb_power_delivery'")));
    qputenv("SIGROKDECODE_DIR", foreign.path().toUtf8());

    kvq_log_callback_set(onLog, nullptr);
    kvq_log_loglevel_set(2);
    ASSERT_EQ(kvq_init(app.path().toUtf8().constData()), 0);
    EXPECT_NE(kvq_init(app.path().toUtf8().constData()), 0); // once per process
    ASSERT_EQ(kvq_decoder_load_all(), 0);
    ASSERT_NE(kvq_decoder_get("kvqtest"), nullptr);
    EXPECT_NE(kvq_decoder_list(), nullptr);
    EXPECT_EQ(QString::fromUtf8(kvq_decoder_origin("kvqtest")),
              app.path() + "/decoders/kvqtest/__init__.py"); // ours, from the application folder
    EXPECT_TRUE(kvq::decode::decoderIsFrom("kvqtest", app.path() + "/decoders"));
    ASSERT_NE(kvq_decoder_get("usb_power_delivery"), nullptr);
    EXPECT_FALSE(kvq::decode::decoderIsFrom("usb_power_delivery", app.path() + "/decoders"));
    EXPECT_EQ(kvq_decoder_get("usb_power_delivery"), nullptr); // never handed out
    EXPECT_TRUE(logged("Decoder usb_power_delivery comes from"));
    qunsetenv("SIGROKDECODE_DIR");

    srd_session* session = kvq_decoder_session_new();
    ASSERT_NE(session, nullptr);
    srd_decoder_inst* inst = kvq_inst_new(session, "kvqtest", nullptr);
    ASSERT_NE(inst, nullptr);
    GHashTable* channels =
        g_hash_table_new_full(g_str_hash, g_str_equal, g_free, (GDestroyNotify)g_variant_unref);
    g_hash_table_insert(channels, g_strdup("data"), g_variant_ref_sink(g_variant_new_int32(0)));
    ASSERT_EQ(kvq_inst_channel_set_all(inst, channels), 0);
    g_hash_table_destroy(channels);
    ASSERT_EQ(kvq_pd_output_callback_add(session, SRD_OUTPUT_ANN, onAnnotation, nullptr), 0);
    ASSERT_EQ(kvq_session_samplerate_set(session, 2000000), 0);
    ASSERT_EQ(kvq_session_start(session), 0);
    EXPECT_TRUE(logged("x")); // print() inside the decoder reaches the log

    // [0, 64): rising edges at 10 and 40; [64, 128) constant low; [128, 192)
    // constant high (an edge at the boundary); then a long bit chunk beyond one
    // expansion buffer with an edge at its far end.
    std::vector<uint8_t> a(8, 0);
    for (int s = 10; s < 20; ++s)
        a[size_t(s / 8)] |= uint8_t(1 << (s % 8));
    for (int s = 40; s < 64; ++s)
        a[size_t(s / 8)] |= uint8_t(1 << (s % 8));
    const KvqSampleSource bitsA{a.data(), 0};
    ASSERT_EQ(kvq_session_send(session, 0, 64, &bitsA, 1), 0);
    const KvqSampleSource low{nullptr, 0};
    ASSERT_EQ(kvq_session_send(session, 64, 128, &low, 1), 0);
    const KvqSampleSource high{nullptr, 1};
    ASSERT_EQ(kvq_session_send(session, 128, 192, &high, 1), 0);
    std::vector<uint8_t> d(100000 / 8, 0);
    d.back() = 0x80; // sample 192 + 99999
    const KvqSampleSource bitsD{d.data(), 0};
    ASSERT_EQ(kvq_session_send(session, 192, 192 + 100000, &bitsD, 1), 0);
    {
        std::lock_guard<std::mutex> lock(g_lock);
        EXPECT_EQ(g_edges, (std::vector<uint64_t>{10, 40, 128, 192 + 99999}));
    }

    // A chunk that does not continue where the last ended is refused.
    EXPECT_EQ(kvq_session_send(session, 5, 10, &low, 1), SRD_ERR_ARG);
    EXPECT_TRUE(logged("Incorrect sample numbers")) << [] {
        std::string all;
        for (const std::string& line : g_lines)
            all += line + "\n";
        return all;
    }();
    EXPECT_EQ(kvq_session_send(session, 0, 10, nullptr, 1), SRD_ERR_ARG);

    EXPECT_EQ(kvq_session_send_eof(session), 0);
    EXPECT_EQ(kvq_session_destroy(session), 0);

    // A decoder that raises ends its part without leaving the sender waiting.
    srd_session* failing = kvq_decoder_session_new();
    ASSERT_NE(failing, nullptr);
    srd_decoder_inst* raising = kvq_inst_new(failing, "kvqtest", nullptr);
    ASSERT_NE(raising, nullptr);
    GHashTable* map = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, (GDestroyNotify)g_variant_unref);
    g_hash_table_insert(map, g_strdup("data"), g_variant_ref_sink(g_variant_new_int32(0)));
    ASSERT_EQ(kvq_inst_channel_set_all(raising, map), 0);
    g_hash_table_destroy(map);
    ASSERT_EQ(kvq_session_start(failing), 0);
    auto sent = std::async(std::launch::async, [&] {
        int rc = kvq_session_send(failing, 0, 1000000, &low, 1);
        if (rc == SRD_OK)
            rc = kvq_session_send(failing, 1000000, 1000064, &bitsA, 1); // the edge that raises
        if (rc == SRD_OK)
            rc = kvq_session_send(failing, 1000064, 1000128, &low, 1);
        return rc;
    });
    if (sent.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        ADD_FAILURE() << "a send waits for a decoder that raised";
        std::_Exit(1);
    }
    EXPECT_NE(sent.get(), SRD_OK);
    // The traceback reaches the log from the decoder's thread as it ends.
    for (int i = 0; i < 500 && !logged("edge beyond the test range"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(logged("edge beyond the test range"));
    EXPECT_EQ(kvq_session_send_eof(failing), 0);
    EXPECT_EQ(kvq_session_destroy(failing), 0);
    EXPECT_EQ(kvq_exit(), 0);
}
