#pragma once

// The decoder runtime: a thin set of kvq_ functions over libsigrokdecode (used
// as Debian ships it) and its embedded Python. Sessions are fed from
// per-channel bit sources; the library's one-byte-per-sample input is built
// from them chunk by chunk in one reusable buffer.

#include <libsigrokdecode/libsigrokdecode.h>

#include <cstdint>

// One input channel of a chunk: its bits (sample s of [start, end) is bit
// (s - start) % 8 of byte (s - start) / 8), or, with bits null, a constant level.
struct KvqSampleSource {
    const std::uint8_t* bits;
    std::uint8_t level;
};

int kvq_init(const char* applicationDir);
int kvq_exit();
int kvq_decoder_load_all();
const GSList* kvq_decoder_list();
const srd_decoder* kvq_decoder_get(const char* id);
srd_session* kvq_decoder_session_new();
int kvq_session_destroy(srd_session* session);
int kvq_session_samplerate_set(srd_session* session, std::uint64_t hz);
srd_decoder_inst* kvq_inst_new(srd_session* session, const char* id, GHashTable* options);
int kvq_inst_channel_set_all(srd_decoder_inst* instance, GHashTable* channels);
int kvq_pd_output_callback_add(srd_session* session, int outputType, srd_pd_output_callback callback,
                               void* context);
int kvq_session_start(srd_session* session);
// Feeds samples [start, end) of `channels` sources (at most 8) to the session.
int kvq_session_send(srd_session* session, std::uint64_t start, std::uint64_t end,
                     const KvqSampleSource* table, int channels);
// End of the data: every instance stops waiting and ends cleanly.
int kvq_session_send_eof(srd_session* session);
int kvq_session_terminate_reset(srd_session* session);
int kvq_log_callback_set(srd_log_callback callback, void* context);
int kvq_log_loglevel_set(int level);
// File the loaded Python module of decoder `id` came from (empty if unknown).
const char* kvq_decoder_origin(const char* id);

#include <QString>

namespace kvq::decode {
// Starts the runtime for the program in `applicationDir` and loads the
// decoders: 0 ready with our USB-PD decoder, 1 the runtime could not start, 2
// the decoders could not be loaded or the USB-PD decoder is not ours.
int startDecoderRuntime(const QString& applicationDir);
// True when decoder `id` is loaded from below `folder`; otherwise logs which
// file it came from (a decoder of the same id elsewhere is not ours).
bool decoderIsFrom(const char* id, const QString& folder);
// 3 when no decoder is loaded at all, else 0.
int checkLoadedDecoders();
} // namespace kvq::decode
