// Our declarations of the part of sherpa-onnx's C API (libsherpa-onnx-c-api.so,
// version 1.13.8, x86-64) that the text-to-speech engine calls. The library ships
// no header; every record layout below is pinned by static_asserts.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

typedef struct SherpaOnnxOfflineTtsVitsModelConfig {
    const char* model;
    const char* lexicon;
    const char* tokens;
    const char* data_dir;
    float noise_scale;
    float noise_scale_w;
    float length_scale;
    const char* dict_dir;
} SherpaOnnxOfflineTtsVitsModelConfig;

typedef struct SherpaOnnxOfflineTtsMatchaModelConfig {
    const char* acoustic_model;
    const char* vocoder;
    const char* lexicon;
    const char* tokens;
    const char* data_dir;
    float noise_scale;
    float length_scale;
    const char* dict_dir;
} SherpaOnnxOfflineTtsMatchaModelConfig;

typedef struct SherpaOnnxOfflineTtsKokoroModelConfig {
    const char* model;
    const char* voices;
    const char* tokens;
    const char* data_dir;
    float length_scale;
    const char* dict_dir;
    const char* lexicon;
    const char* lang;
} SherpaOnnxOfflineTtsKokoroModelConfig;

typedef struct SherpaOnnxOfflineTtsKittenModelConfig {
    const char* model;
    const char* voices;
    const char* tokens;
    const char* data_dir;
    float length_scale;
} SherpaOnnxOfflineTtsKittenModelConfig;

typedef struct SherpaOnnxOfflineTtsZipvoiceModelConfig {
    const char* tokens;
    const char* encoder;
    const char* decoder;
    const char* vocoder;
    const char* data_dir;
    const char* lexicon;
    float feat_scale;
    float t_shift;
    float target_rms;
    float guidance_scale;
} SherpaOnnxOfflineTtsZipvoiceModelConfig;

typedef struct SherpaOnnxOfflineTtsPocketModelConfig {
    const char* lm_flow;
    const char* lm_main;
    const char* encoder;
    const char* decoder;
    const char* text_conditioner;
    const char* vocab_json;
    const char* token_scores_json;
    int32_t voice_embedding_cache_capacity;
} SherpaOnnxOfflineTtsPocketModelConfig;

typedef struct SherpaOnnxOfflineTtsSupertonicModelConfig {
    const char* duration_predictor;
    const char* text_encoder;
    const char* vector_estimator;
    const char* vocoder;
    const char* tts_json;
    const char* unicode_indexer;
    const char* voice_style;
} SherpaOnnxOfflineTtsSupertonicModelConfig;

typedef struct SherpaOnnxOfflineTtsModelConfig {
    SherpaOnnxOfflineTtsVitsModelConfig vits;
    int32_t num_threads;
    int32_t debug;
    const char* provider;
    SherpaOnnxOfflineTtsMatchaModelConfig matcha;
    SherpaOnnxOfflineTtsKokoroModelConfig kokoro;
    SherpaOnnxOfflineTtsKittenModelConfig kitten;
    SherpaOnnxOfflineTtsZipvoiceModelConfig zipvoice;
    SherpaOnnxOfflineTtsPocketModelConfig pocket;
    SherpaOnnxOfflineTtsSupertonicModelConfig supertonic;
} SherpaOnnxOfflineTtsModelConfig;

typedef struct SherpaOnnxOfflineTtsConfig {
    SherpaOnnxOfflineTtsModelConfig model;
    const char* rule_fsts;
    int32_t max_num_sentences;
    const char* rule_fars;
    float silence_scale;
} SherpaOnnxOfflineTtsConfig;

typedef struct SherpaOnnxGeneratedAudio {
    const float* samples;
    int32_t n;
    int32_t sample_rate;
} SherpaOnnxGeneratedAudio;

// Opaque model object.
typedef struct SherpaOnnxOfflineTts SherpaOnnxOfflineTts;

// Called with each stretch of generated samples; return 1 to go on, 0 to stop.
typedef int32_t (*SherpaOnnxGeneratedAudioProgressCallback)(const float* samples, int32_t n, float progress);

const SherpaOnnxOfflineTts* SherpaOnnxCreateOfflineTts(const SherpaOnnxOfflineTtsConfig* config);
void SherpaOnnxDestroyOfflineTts(const SherpaOnnxOfflineTts* tts);
int32_t SherpaOnnxOfflineTtsSampleRate(const SherpaOnnxOfflineTts* tts);
int32_t SherpaOnnxOfflineTtsNumSpeakers(const SherpaOnnxOfflineTts* tts);
const SherpaOnnxGeneratedAudio* SherpaOnnxOfflineTtsGenerateWithProgressCallback(
    const SherpaOnnxOfflineTts* tts, const char* text, int32_t sid, float speed,
    SherpaOnnxGeneratedAudioProgressCallback callback);
void SherpaOnnxDestroyOfflineTtsGeneratedAudio(const SherpaOnnxGeneratedAudio* audio);
const char* SherpaOnnxGetVersionStr(void);

}  // extern "C"

static_assert(sizeof(void*) == 8, "layouts below are those of x86-64");

static_assert(sizeof(SherpaOnnxOfflineTtsVitsModelConfig) == 56);
static_assert(offsetof(SherpaOnnxOfflineTtsVitsModelConfig, model) == 0);
static_assert(offsetof(SherpaOnnxOfflineTtsVitsModelConfig, lexicon) == 8);
static_assert(offsetof(SherpaOnnxOfflineTtsVitsModelConfig, tokens) == 16);
static_assert(offsetof(SherpaOnnxOfflineTtsVitsModelConfig, data_dir) == 24);
static_assert(offsetof(SherpaOnnxOfflineTtsVitsModelConfig, noise_scale) == 32);
static_assert(offsetof(SherpaOnnxOfflineTtsVitsModelConfig, noise_scale_w) == 36);
static_assert(offsetof(SherpaOnnxOfflineTtsVitsModelConfig, length_scale) == 40);
static_assert(offsetof(SherpaOnnxOfflineTtsVitsModelConfig, dict_dir) == 48);

static_assert(sizeof(SherpaOnnxOfflineTtsMatchaModelConfig) == 56);
static_assert(offsetof(SherpaOnnxOfflineTtsMatchaModelConfig, acoustic_model) == 0);
static_assert(offsetof(SherpaOnnxOfflineTtsMatchaModelConfig, vocoder) == 8);
static_assert(offsetof(SherpaOnnxOfflineTtsMatchaModelConfig, lexicon) == 16);
static_assert(offsetof(SherpaOnnxOfflineTtsMatchaModelConfig, tokens) == 24);
static_assert(offsetof(SherpaOnnxOfflineTtsMatchaModelConfig, data_dir) == 32);
static_assert(offsetof(SherpaOnnxOfflineTtsMatchaModelConfig, noise_scale) == 40);
static_assert(offsetof(SherpaOnnxOfflineTtsMatchaModelConfig, length_scale) == 44);
static_assert(offsetof(SherpaOnnxOfflineTtsMatchaModelConfig, dict_dir) == 48);

static_assert(sizeof(SherpaOnnxOfflineTtsKokoroModelConfig) == 64);
static_assert(offsetof(SherpaOnnxOfflineTtsKokoroModelConfig, model) == 0);
static_assert(offsetof(SherpaOnnxOfflineTtsKokoroModelConfig, voices) == 8);
static_assert(offsetof(SherpaOnnxOfflineTtsKokoroModelConfig, tokens) == 16);
static_assert(offsetof(SherpaOnnxOfflineTtsKokoroModelConfig, data_dir) == 24);
static_assert(offsetof(SherpaOnnxOfflineTtsKokoroModelConfig, length_scale) == 32);
static_assert(offsetof(SherpaOnnxOfflineTtsKokoroModelConfig, dict_dir) == 40);
static_assert(offsetof(SherpaOnnxOfflineTtsKokoroModelConfig, lexicon) == 48);
static_assert(offsetof(SherpaOnnxOfflineTtsKokoroModelConfig, lang) == 56);

static_assert(sizeof(SherpaOnnxOfflineTtsKittenModelConfig) == 40);
static_assert(offsetof(SherpaOnnxOfflineTtsKittenModelConfig, model) == 0);
static_assert(offsetof(SherpaOnnxOfflineTtsKittenModelConfig, voices) == 8);
static_assert(offsetof(SherpaOnnxOfflineTtsKittenModelConfig, tokens) == 16);
static_assert(offsetof(SherpaOnnxOfflineTtsKittenModelConfig, data_dir) == 24);
static_assert(offsetof(SherpaOnnxOfflineTtsKittenModelConfig, length_scale) == 32);

static_assert(sizeof(SherpaOnnxOfflineTtsZipvoiceModelConfig) == 64);
static_assert(offsetof(SherpaOnnxOfflineTtsZipvoiceModelConfig, tokens) == 0);
static_assert(offsetof(SherpaOnnxOfflineTtsZipvoiceModelConfig, encoder) == 8);
static_assert(offsetof(SherpaOnnxOfflineTtsZipvoiceModelConfig, decoder) == 16);
static_assert(offsetof(SherpaOnnxOfflineTtsZipvoiceModelConfig, vocoder) == 24);
static_assert(offsetof(SherpaOnnxOfflineTtsZipvoiceModelConfig, data_dir) == 32);
static_assert(offsetof(SherpaOnnxOfflineTtsZipvoiceModelConfig, lexicon) == 40);
static_assert(offsetof(SherpaOnnxOfflineTtsZipvoiceModelConfig, feat_scale) == 48);
static_assert(offsetof(SherpaOnnxOfflineTtsZipvoiceModelConfig, t_shift) == 52);
static_assert(offsetof(SherpaOnnxOfflineTtsZipvoiceModelConfig, target_rms) == 56);
static_assert(offsetof(SherpaOnnxOfflineTtsZipvoiceModelConfig, guidance_scale) == 60);

static_assert(sizeof(SherpaOnnxOfflineTtsPocketModelConfig) == 64);
static_assert(offsetof(SherpaOnnxOfflineTtsPocketModelConfig, lm_flow) == 0);
static_assert(offsetof(SherpaOnnxOfflineTtsPocketModelConfig, lm_main) == 8);
static_assert(offsetof(SherpaOnnxOfflineTtsPocketModelConfig, encoder) == 16);
static_assert(offsetof(SherpaOnnxOfflineTtsPocketModelConfig, decoder) == 24);
static_assert(offsetof(SherpaOnnxOfflineTtsPocketModelConfig, text_conditioner) == 32);
static_assert(offsetof(SherpaOnnxOfflineTtsPocketModelConfig, vocab_json) == 40);
static_assert(offsetof(SherpaOnnxOfflineTtsPocketModelConfig, token_scores_json) == 48);
static_assert(offsetof(SherpaOnnxOfflineTtsPocketModelConfig, voice_embedding_cache_capacity) == 56);

static_assert(sizeof(SherpaOnnxOfflineTtsSupertonicModelConfig) == 56);
static_assert(offsetof(SherpaOnnxOfflineTtsSupertonicModelConfig, duration_predictor) == 0);
static_assert(offsetof(SherpaOnnxOfflineTtsSupertonicModelConfig, text_encoder) == 8);
static_assert(offsetof(SherpaOnnxOfflineTtsSupertonicModelConfig, vector_estimator) == 16);
static_assert(offsetof(SherpaOnnxOfflineTtsSupertonicModelConfig, vocoder) == 24);
static_assert(offsetof(SherpaOnnxOfflineTtsSupertonicModelConfig, tts_json) == 32);
static_assert(offsetof(SherpaOnnxOfflineTtsSupertonicModelConfig, unicode_indexer) == 40);
static_assert(offsetof(SherpaOnnxOfflineTtsSupertonicModelConfig, voice_style) == 48);

static_assert(sizeof(SherpaOnnxOfflineTtsModelConfig) == 416);
static_assert(offsetof(SherpaOnnxOfflineTtsModelConfig, vits) == 0);
static_assert(offsetof(SherpaOnnxOfflineTtsModelConfig, num_threads) == 56);
static_assert(offsetof(SherpaOnnxOfflineTtsModelConfig, debug) == 60);
static_assert(offsetof(SherpaOnnxOfflineTtsModelConfig, provider) == 64);
static_assert(offsetof(SherpaOnnxOfflineTtsModelConfig, matcha) == 72);
static_assert(offsetof(SherpaOnnxOfflineTtsModelConfig, kokoro) == 128);
static_assert(offsetof(SherpaOnnxOfflineTtsModelConfig, kitten) == 192);
static_assert(offsetof(SherpaOnnxOfflineTtsModelConfig, zipvoice) == 232);
static_assert(offsetof(SherpaOnnxOfflineTtsModelConfig, pocket) == 296);
static_assert(offsetof(SherpaOnnxOfflineTtsModelConfig, supertonic) == 360);

static_assert(sizeof(SherpaOnnxOfflineTtsConfig) == 448);
static_assert(offsetof(SherpaOnnxOfflineTtsConfig, model) == 0);
static_assert(offsetof(SherpaOnnxOfflineTtsConfig, rule_fsts) == 416);
static_assert(offsetof(SherpaOnnxOfflineTtsConfig, max_num_sentences) == 424);
static_assert(offsetof(SherpaOnnxOfflineTtsConfig, rule_fars) == 432);
static_assert(offsetof(SherpaOnnxOfflineTtsConfig, silence_scale) == 440);

static_assert(sizeof(SherpaOnnxGeneratedAudio) == 16);
static_assert(offsetof(SherpaOnnxGeneratedAudio, samples) == 0);
static_assert(offsetof(SherpaOnnxGeneratedAudio, n) == 8);
static_assert(offsetof(SherpaOnnxGeneratedAudio, sample_rate) == 12);
