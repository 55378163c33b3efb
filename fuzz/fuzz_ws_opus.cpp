// Received speech (Ogg Opus held in memory) through the agent's decoder into an ALSA
// device that discards what it is given. The mutator rewrites the checksum of every whole
// Ogg page after mutating, or nearly every mutant would end at libogg's page check; the
// input decoded is still exactly the input stored.
#include "agent/ws_controller.h"

#include <array>
#include <cstring>

#include "fuzz/fuzz_common.h"

namespace {

// One controller for the whole run.
velantis::ws_controller* g_controller = nullptr;

// CRC-32 of Ogg pages: polynomial 0x04c11db7, most significant bit first, no reflection.
uint32_t oggCrc(const uint8_t* data, size_t size) {
    static const auto table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t r = i << 24;
            for (int k = 0; k < 8; ++k) r = (r & 0x80000000u) ? (r << 1) ^ 0x04c11db7u : r << 1;
            t[i] = r;
        }
        return t;
    }();
    uint32_t crc = 0;
    for (size_t i = 0; i < size; ++i) crc = (crc << 8) ^ table[((crc >> 24) ^ data[i]) & 0xff];
    return crc;
}

// Gives every whole page ("OggS", 27-byte header, segment table, body) its right checksum.
void fixPageChecksums(uint8_t* data, size_t size) {
    constexpr size_t kHeader = 27;
    size_t at = 0;
    while (at + kHeader <= size) {
        if (std::memcmp(data + at, "OggS", 4) != 0) {
            ++at;
            continue;
        }
        const size_t segments = data[at + 26];
        if (at + kHeader + segments > size) return;
        size_t body = 0;
        for (size_t i = 0; i < segments; ++i) body += data[at + kHeader + i];
        const size_t page = kHeader + segments + body;
        if (at + page > size) return;
        std::memset(data + at + 22, 0, 4);
        const uint32_t crc = oggCrc(data + at, page);
        for (int i = 0; i < 4; ++i) data[at + 22 + i] = static_cast<uint8_t>(crc >> (8 * i));
        at += page;
    }
}

}  // namespace

// libopusfile 0.12 leaks the comments it parsed from an OpusTags packet when it then
// refuses the stream (OP_EBADHEADER): not ours to fix. Leaks of our own allocations are
// still reported.
extern "C" const char* __lsan_default_suppressions() { return "leak:libopusfile.so\n"; }

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t max_size);

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t max_size, unsigned int seed) {
    size = LLVMFuzzerMutate(data, size, max_size);
    // Some mutants keep their broken checksums, for the page check itself.
    if (seed % 8 != 0) fixPageChecksums(data, size);
    return size;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // libasound reads its configuration once, at the first device opened.
    setenv("ALSA_CONFIG_PATH", FUZZ_ASOUND_CONF, 1);
    fuzz::quickSimRobot(false);
    fuzz::silenceOutput();
    g_controller = new velantis::ws_controller();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    g_controller->decodeAndProcessOpus(fuzz::asText(data, size));
    return 0;
}
