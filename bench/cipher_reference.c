/* The rotor machine as a plain C program, the yardstick for keyvane-cipher: it reads key
 * files made beforehand (k1.bcr, k2.bin, k3.bin, k4.bin and schedule.txt, the 200 entries
 * of the rotor-order schedule, one a line), transforms standard input a piece at a time
 * and writes the result to standard output. With 64-byte byte permutes where the
 * processor has them, or --portable for one character at a time.
 *
 *   cipher_reference FOLDER encrypt|decrypt [--portable] < in > out
 */
#include <immintrin.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

enum { kStrings = 20, kBatch = 64, kGroup = 4 };

static uint8_t g_table[kStrings][256], g_inverse[kStrings][256];
static int g_passes;
static uint8_t g_slotStep[kStrings];
static int32_t g_schedule[201];

struct State {
    int shift; /* slot k holds string (k + shift) % 20 */
    uint8_t offset[kStrings];
    int32_t count, threshold, index;
};

static void Fail(const char* what) {
    fprintf(stderr, "cipher_reference: %s\n", what);
    exit(1);
}

static char* ReadFile(const char* folder, const char* name, size_t* size) {
    char path[4096];
    snprintf(path, sizeof path, "%s/%s", folder, name);
    FILE* f = fopen(path, "rb");
    if (!f) Fail(path);
    char* data = malloc(65536);
    *size = fread(data, 1, 65535, f);
    data[*size] = 0;
    fclose(f);
    return data;
}

static void LoadKeys(const char* folder) {
    size_t n;
    char* bcr = ReadFile(folder, "k1.bcr", &n);
    if (n < kStrings * 256) Fail("short k1.bcr");
    for (int t = 0; t < kStrings; ++t)
        for (int j = 0; j < 256; ++j) {
            const uint8_t v = (uint8_t)bcr[t * 256 + j];
            g_table[t][j] = v;
            g_inverse[t][v] = (uint8_t)j;
        }
    free(bcr);
    char* k2 = ReadFile(folder, "k2.bin", &n);
    char* at = k2;
    strtol(at, &at, 10);
    g_passes = (int)strtol(at, &at, 10);
    if (g_passes < 1) Fail("bad k2.bin");
    free(k2);
    char* k3 = ReadFile(folder, "k3.bin", &n);
    if (n < kStrings) Fail("short k3.bin");
    int up[kStrings];
    for (int k = 0; k < kStrings; ++k) up[k] = k3[k] != 'D';
    free(k3);
    char* k4 = ReadFile(folder, "k4.bin", &n);
    at = k4;
    for (int k = 0; k < kStrings; ++k) {
        long s = strtol(at, &at, 10);
        if (s < 1) s = 1;
        g_slotStep[k] = (uint8_t)(up[k] ? s : -s);
    }
    free(k4);
    char* sched = ReadFile(folder, "schedule.txt", &n);
    at = sched;
    for (int i = 1; i <= 200; ++i) g_schedule[i] = (int32_t)strtol(at, &at, 10);
    free(sched);
}

static void Advance(struct State* st) {
    for (int k = 0; k < kStrings; ++k) {
        const int t = (k + st->shift) % kStrings;
        st->offset[t] = (uint8_t)(st->offset[t] + g_slotStep[k]);
    }
    if (++st->count >= st->threshold) {
        st->count = 0;
        st->shift = (st->shift + 1) % kStrings;
        st->index = st->index + 1 > 200 ? 1 : st->index + 1;
        st->threshold = g_schedule[st->index];
    }
}

static void Portable(struct State* st, int encipher, uint8_t* buf, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        uint8_t c = buf[i];
        for (int p = 0; p < g_passes; ++p) {
            if (encipher) {
                for (int k = 0; k < kStrings; ++k) {
                    const int t = (k + st->shift) % kStrings;
                    c = g_table[t][(uint8_t)(c + st->offset[t])];
                }
            } else {
                for (int k = kStrings - 1; k >= 0; --k) {
                    const int t = (k + st->shift) % kStrings;
                    c = (uint8_t)(g_inverse[t][c] - st->offset[t]);
                }
            }
        }
        buf[i] = c;
        Advance(st);
    }
}

#define WIDE __attribute__((target("avx512f,avx512bw,avx512vbmi")))

WIDE static inline __m512i LookUp(const uint8_t* table, __m512i idx) {
    const __m512i lo =
        _mm512_permutex2var_epi8(_mm512_loadu_si512(table), idx, _mm512_loadu_si512(table + 64));
    const __m512i hi = _mm512_permutex2var_epi8(_mm512_loadu_si512(table + 128), idx,
                                                _mm512_loadu_si512(table + 192));
    return _mm512_mask_blend_epi8(_mm512_movepi8_mask(idx), lo, hi);
}

/* ramp[k][b] = b * step of slot k; times[n][k] = n * step of slot k. */
static uint8_t g_ramp[kStrings][kBatch] __attribute__((aligned(64)));
static uint8_t g_times[kBatch + 1][kBatch] __attribute__((aligned(64)));
static uint8_t g_slotOf[kStrings][kBatch] __attribute__((aligned(64)));

struct Batch {
    __m512i offset[kStrings];
    __m512i start;
    long last;
    int spread, string;
};

/* A batch falls into stretches of one rotor order each; within one, a string's offset
 * grows by its slot's step from lane to lane. Lanes of later stretches start their walk
 * through the strings later, so that all lanes go through one string per step. */
WIDE static void SetUp(struct State* st, int encipher, int lanes, __m512i* offsets,
                       struct Batch* batch) {
    const int firstShift = st->shift;
    int b = 0, stretches = 0;
    __m512i rel = _mm512_setzero_si512();
    for (;;) {
        const __m512i slotOf = _mm512_load_si512(g_slotOf[st->shift]);
        const __m512i base = _mm512_sub_epi8(
            *offsets, _mm512_permutexvar_epi8(slotOf, _mm512_load_si512(g_times[b])));
        const __mmask64 from = ~0ULL << b;
        const int k0 = kStrings - st->shift;
#pragma GCC unroll 20
        for (int t = 0; t < kStrings; ++t) {
            const int k = k0 + t >= kStrings ? k0 + t - kStrings : k0 + t;
            const __m512i each = _mm512_permutexvar_epi8(_mm512_set1_epi8((char)t), base);
            const __m512i ramp = _mm512_load_si512(g_ramp[k]);
            batch->offset[t] = stretches == 0
                                   ? _mm512_add_epi8(each, ramp)
                                   : _mm512_mask_add_epi8(batch->offset[t], from, each, ramp);
        }
        const int64_t left = (int64_t)st->threshold - st->count;
        const int run = left < 1 ? 1 : (left > kBatch ? kBatch + 1 : (int)left);
        if (run > lanes - b) {
            *offsets = _mm512_add_epi8(
                *offsets, _mm512_permutexvar_epi8(slotOf, _mm512_load_si512(g_times[lanes - b])));
            st->count += lanes - b;
            break;
        }
        *offsets = _mm512_add_epi8(
            *offsets, _mm512_permutexvar_epi8(slotOf, _mm512_load_si512(g_times[run])));
        b += run;
        st->count = 0;
        st->shift = st->shift + 1 == kStrings ? 0 : st->shift + 1;
        st->index = st->index + 1 > 200 ? 1 : st->index + 1;
        st->threshold = g_schedule[st->index];
        if (b == lanes) break;
        ++stretches;
        rel = _mm512_mask_add_epi8(rel, ~0ULL << b, rel, _mm512_set1_epi8(1));
    }
    batch->start = encipher ? rel : _mm512_sub_epi8(_mm512_set1_epi8((char)stretches), rel);
    batch->spread = stretches;
    batch->last = (long)kStrings * g_passes + stretches;
    batch->string = encipher ? firstShift : (firstShift + kStrings - 1 + stretches) % kStrings;
}

/* One step of a batch in the steps where every lane walks. */
WIDE static inline __attribute__((always_inline)) __m512i Clean(const uint8_t* tables, int encipher,
                                                                struct Batch* bt, __m512i c) {
    const int t = bt->string;
    const uint8_t* table = tables + t * 256;
    __m512i r;
    if (encipher) {
        r = LookUp(table, _mm512_add_epi8(c, bt->offset[t]));
        bt->string = t + 1 == kStrings ? 0 : t + 1;
    } else {
        r = _mm512_sub_epi8(LookUp(table, c), bt->offset[t]);
        bt->string = t == 0 ? kStrings - 1 : t - 1;
    }
    return r;
}

/* One step of a batch while some lanes wait to start or have finished. */
WIDE static inline __attribute__((always_inline)) __m512i Step(const uint8_t* tables, int encipher,
                                                               struct Batch* bt, __m512i c, long j,
                                                               long walk) {
    const __m512i r = Clean(tables, encipher, bt, c);
    __mmask64 active = ~0ULL;
    if (j < bt->spread) active &= _mm512_cmple_epu8_mask(bt->start, _mm512_set1_epi8((char)j));
    if (j >= walk) active &= _mm512_cmpgt_epu8_mask(bt->start, _mm512_set1_epi8((char)(j - walk)));
    return _mm512_mask_mov_epi8(c, active, r);
}

WIDE static void Wide(struct State* st, int encipher, uint8_t* buf, size_t n) {
    for (int n1 = 0; n1 <= kBatch; ++n1)
        for (int k = 0; k < kBatch; ++k)
            g_times[n1][k] = k < kStrings ? (uint8_t)(n1 * g_slotStep[k]) : 0;
    for (int k = 0; k < kStrings; ++k)
        for (int b = 0; b < kBatch; ++b) g_ramp[k][b] = g_times[b][k];
    for (int s = 0; s < kStrings; ++s)
        for (int t = 0; t < kStrings; ++t)
            g_slotOf[s][t] = (uint8_t)((t - s + kStrings) % kStrings);
    uint8_t off[kBatch] __attribute__((aligned(64))) = {0};
    memcpy(off, st->offset, kStrings);
    __m512i offsets = _mm512_load_si512(off);
    const uint8_t* tables = encipher ? &g_table[0][0] : &g_inverse[0][0];
    const long walk = (long)kStrings * g_passes;
    struct Batch batch[kGroup];
    for (size_t done = 0; done < n; done += kGroup * kBatch) {
        __m512i c[kGroup];
        __mmask64 used[kGroup];
        int batches = 0;
        long last = 0;
        for (; batches < kGroup && done + (size_t)batches * kBatch < n; ++batches) {
            const size_t at = done + (size_t)batches * kBatch;
            const int lanes = n - at < kBatch ? (int)(n - at) : kBatch;
            used[batches] = lanes == kBatch ? ~0ULL : (1ULL << lanes) - 1;
            SetUp(st, encipher, lanes, &offsets, &batch[batches]);
            if (batch[batches].last > last) last = batch[batches].last;
            c[batches] = _mm512_maskz_loadu_epi8(used[batches], buf + at);
        }
        int spread = 0;
        for (int g = 0; g < batches; ++g)
            if (batch[g].spread > spread) spread = batch[g].spread;
        if (batches == kGroup) {
            for (long j = 0; j < spread; ++j)
#pragma GCC unroll 4
                for (int g = 0; g < kGroup; ++g)
                    c[g] = Step(tables, encipher, &batch[g], c[g], j, walk);
            for (long j = spread; j < walk; ++j)
#pragma GCC unroll 4
                for (int g = 0; g < kGroup; ++g) c[g] = Clean(tables, encipher, &batch[g], c[g]);
            for (long j = spread > walk ? spread : walk; j < last; ++j)
#pragma GCC unroll 4
                for (int g = 0; g < kGroup; ++g)
                    if (j < batch[g].last) c[g] = Step(tables, encipher, &batch[g], c[g], j, walk);
        } else {
            for (long j = 0; j < last; ++j)
                for (int g = 0; g < batches; ++g)
                    if (j < batch[g].last) c[g] = Step(tables, encipher, &batch[g], c[g], j, walk);
        }
        for (int g = 0; g < batches; ++g)
            _mm512_mask_storeu_epi8(buf + done + (size_t)g * kBatch, used[g], c[g]);
    }
    _mm512_store_si512(off, offsets);
    memcpy(st->offset, off, kStrings);
}

int main(int argc, char** argv) {
    if (argc < 3) Fail("usage: cipher_reference FOLDER encrypt|decrypt [--portable]");
    const int encipher = strcmp(argv[2], "encrypt") == 0;
    const int portable = argc > 3 && strcmp(argv[3], "--portable") == 0;
    LoadKeys(argv[1]);
    /* A piece at a time, in a buffer that stays in the processor's cache. */
    enum { kPiece = 256 * 1024 };
    static uint8_t buf[kPiece] __attribute__((aligned(64)));
    struct State st = {0, {0}, 0, g_schedule[1], 1};
    __builtin_cpu_init();
    const int wide =
        !portable && __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512bw");
    for (;;) {
        size_t n = 0;
        while (n < kPiece) {
            const ssize_t got = read(0, buf + n, kPiece - n);
            if (got < 0) Fail("cannot read");
            if (got == 0) break;
            n += (size_t)got;
        }
        if (n == 0) break;
        if (wide)
            Wide(&st, encipher, buf, n);
        else
            Portable(&st, encipher, buf, n);
        for (size_t at = 0; at < n;) {
            const ssize_t put = write(1, buf + at, n - at);
            if (put <= 0) Fail("cannot write");
            at += (size_t)put;
        }
        if (n < kPiece) break;
    }
    return 0;
}
