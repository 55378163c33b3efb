#include "tests/rig/cloud/ogg_opus.h"

#include <opus/opusenc.h>
#include <opus/opusfile.h>

#include <cmath>
#include <stdexcept>

namespace cloud_rig {

std::vector<int16_t> chirp(double seconds, int rate, double f0, double f1, double amplitude) {
    size_t n = static_cast<size_t>(seconds * rate);
    std::vector<int16_t> out(n);
    const double k = (f1 - f0) / seconds;
    for (size_t i = 0; i < n; ++i) {
        double t = static_cast<double>(i) / rate;
        double phase = 2.0 * M_PI * (f0 * t + 0.5 * k * t * t);
        out[i] = static_cast<int16_t>(std::lround(amplitude * 32767.0 * std::sin(phase)));
    }
    return out;
}

std::string encodeOggOpus(const std::vector<int16_t>& pcm, int rate, int channels) {
    std::string out;
    OpusEncCallbacks callbacks{[](void* user, const unsigned char* data, opus_int32 len) {
                                   static_cast<std::string*>(user)->append(reinterpret_cast<const char*>(data),
                                                                           static_cast<size_t>(len));
                                   return 0;
                               },
                               [](void*) { return 0; }};
    OggOpusComments* comments = ope_comments_create();
    if (!comments) throw std::runtime_error("ope_comments_create failed");
    int err = 0;
    OggOpusEnc* enc = ope_encoder_create_callbacks(&callbacks, &out, comments, rate, channels, 0, &err);
    ope_comments_destroy(comments);
    if (!enc) throw std::runtime_error(std::string("ope_encoder_create_callbacks: ") + ope_strerror(err));
    err = ope_encoder_write(enc, pcm.data(), static_cast<int>(pcm.size()) / channels);
    if (err == OPE_OK) err = ope_encoder_drain(enc);
    ope_encoder_destroy(enc);
    if (err != OPE_OK) throw std::runtime_error(std::string("libopusenc: ") + ope_strerror(err));
    return out;
}

std::vector<int16_t> decodeOggOpus(const std::string& stream) {
    std::vector<int16_t> out;
    int err = 0;
    OggOpusFile* of = op_open_memory(reinterpret_cast<const unsigned char*>(stream.data()), stream.size(), &err);
    if (!of) return out;
    std::vector<int16_t> block(5760 * 2);
    int n = 0;
    while ((n = op_read_stereo(of, block.data(), static_cast<int>(block.size()))) > 0) {
        for (int i = 0; i < n; ++i) out.push_back(static_cast<int16_t>((block[2 * i] + block[2 * i + 1]) / 2));
    }
    op_free(of);
    return out;
}

double bestCorrelation(const std::vector<int16_t>& a, const std::vector<int16_t>& b, size_t maxLag) {
    double best = 0.0;
    for (size_t lag = 0; lag <= maxLag && lag < b.size(); ++lag) {
        size_t n = std::min(a.size(), b.size() - lag);
        if (n == 0) break;
        double ab = 0, aa = 0, bb = 0;
        for (size_t i = 0; i < n; ++i) {
            double x = a[i], y = b[i + lag];
            ab += x * y;
            aa += x * x;
            bb += y * y;
        }
        if (aa > 0 && bb > 0) best = std::max(best, ab / std::sqrt(aa * bb));
    }
    return best;
}

}  // namespace cloud_rig
