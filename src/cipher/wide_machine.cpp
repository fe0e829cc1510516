#include "cipher/wide_machine.h"

#include <immintrin.h>

#include <atomic>

namespace keyvane {

namespace {

constexpr int kBatch = 64;
constexpr int kStrings = WideMachineState::kStrings;

bool ProcessorHasIt() {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vbmi");
#else
    return false;
#endif
}

std::atomic<bool> g_allowed{true};

}  // namespace

bool WideMachineUsable() {
    static const bool has = ProcessorHasIt();
    return has && g_allowed.load(std::memory_order_relaxed);
}

void AllowWideMachine(bool allow) {
    g_allowed.store(allow, std::memory_order_relaxed);
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))

namespace {

#define KEYVANE_WIDE __attribute__((target("avx512f,avx512bw,avx512vbmi")))

// A full 256-entry look-up for 64 characters: two 128-entry permutes, chosen by bit 7.
KEYVANE_WIDE inline __m512i LookUp(const uint8_t* table, __m512i idx) {
    const __m512i lo =
        _mm512_permutex2var_epi8(_mm512_loadu_si512(table), idx, _mm512_loadu_si512(table + 64));
    const __m512i hi = _mm512_permutex2var_epi8(_mm512_loadu_si512(table + 128), idx,
                                                _mm512_loadu_si512(table + 192));
    return _mm512_mask_blend_epi8(_mm512_movepi8_mask(idx), lo, hi);
}

// Byte t of the result is byte idx[t] of `a`. (The zero-masked form: GCC's plain one
// warns about its own placeholder.)
KEYVANE_WIDE inline __m512i Permute(__m512i idx, __m512i a) {
    return _mm512_maskz_permutexvar_epi8(~0ULL, idx, a);
}

// What the slots add to the strings' offsets, laid out for whole batches. Slot k turns
// its string by slotStep[k] per character, so within one rotor order a string's offset
// grows by the same amount from lane to lane: ramp[k] holds lane * slotStep[k] for the
// 64 lanes, and times[n] holds n * slotStep[k] for every slot k at once.
struct alignas(64) Ramps {
    uint8_t ramp[kStrings][kBatch];
    uint8_t times[kBatch + 1][kBatch];
};

// Made for every run, so for every block of a transfer: vector adds and multiplies.
KEYVANE_WIDE void MakeRamps(const WideMachineState& st, Ramps& r) {
    alignas(64) uint8_t steps[kBatch] = {};
    for (int k = 0; k < kStrings; ++k) steps[k] = st.slotStep[k];
    const __m512i step = _mm512_load_si512(steps);
    __m512i times = _mm512_setzero_si512();
    for (int n = 0; n <= kBatch; ++n) {
        _mm512_store_si512(r.times[n], times);
        times = _mm512_add_epi8(times, step);
    }
    // lane * step, for the even and the odd lanes in 16-bit halves.
    alignas(64) uint8_t lanes[kBatch];
    for (int b = 0; b < kBatch; ++b) lanes[b] = static_cast<uint8_t>(b);
    const __m512i lane = _mm512_load_si512(lanes);
    const __m512i low = _mm512_set1_epi16(0x00FF);
    const __m512i even = _mm512_and_si512(lane, low), odd = _mm512_srli_epi16(lane, 8);
    for (int k = 0; k < kStrings; ++k) {
        const __m512i s = _mm512_set1_epi16(st.slotStep[k]);
        const __m512i e = _mm512_and_si512(_mm512_mullo_epi16(even, s), low);
        const __m512i o = _mm512_slli_epi16(_mm512_mullo_epi16(odd, s), 8);
        _mm512_store_si512(r.ramp[k], _mm512_or_si512(e, o));
    }
}

// For each shift s, lane t holds the slot that string t sits in: (t - s) mod 20.
struct alignas(64) SlotIndex {
    uint8_t of[kStrings][kBatch];
};
constexpr SlotIndex kSlotOf = [] {
    SlotIndex x{};
    for (int s = 0; s < kStrings; ++s)
        for (int t = 0; t < kStrings; ++t)
            x.of[s][t] = static_cast<uint8_t>((t - s + kStrings) % kStrings);
    return x;
}();

// One batch of 64 characters, set up for its walk.
struct Batch {
    __m512i offset[kStrings];  // each string's offset in every lane
    __m512i start;             // the step at which each lane starts its walk
    long last = 0;             // steps of the whole batch
    int spread = 0;            // the last lane to start starts this many steps late
    int string = 0;            // the string of the first step
};

// Walks the schedule over the batch and advances `st` past it. The batch falls into
// stretches of one rotor order each; within one, string t's offset is a ramp, so a
// stretch costs one permute and one masked add per string.
// `offsets`: byte t holds string t's offset; kept in step with `st` across batches.
// `lanes`: how many of the 64 hold characters (the last batch of a text may hold fewer).
template <bool encipher>
KEYVANE_WIDE void SetUp(WideMachineState& st, const Ramps& ramps, int passes, int lanes,
                        __m512i& offsets, Batch& batch) {
    const int firstShift = st.shift;
    int b = 0, stretches = 0;
    __m512i rel = _mm512_setzero_si512();  // stretches begun before each lane's own
    for (;;) {
        const __m512i slotOf = _mm512_load_si512(kSlotOf.of[st.shift]);
        // Each string's offset as it would be at lane 0 had this order held from there.
        const __m512i base =
            _mm512_sub_epi8(offsets, Permute(slotOf, _mm512_load_si512(ramps.times[b])));
        const __mmask64 from = ~0ULL << b;
        const int k0 = kStrings - st.shift;  // the slot of string 0
#pragma GCC unroll 20
        for (int t = 0; t < kStrings; ++t) {
            const int k = k0 + t >= kStrings ? k0 + t - kStrings : k0 + t;
            const __m512i each = Permute(_mm512_set1_epi8(static_cast<char>(t)), base);
            const __m512i ramp = _mm512_load_si512(ramps.ramp[k]);
            batch.offset[t] = stretches == 0
                                  ? _mm512_add_epi8(each, ramp)
                                  : _mm512_mask_add_epi8(batch.offset[t], from, each, ramp);
        }
        // Characters until the order changes: the one that brings the count to the
        // threshold changes it, and at least the next one does.
        const int64_t left = int64_t{st.threshold} - st.count;
        const int run = left < 1 ? 1 : (left > kBatch ? kBatch + 1 : static_cast<int>(left));
        if (run > lanes - b) {
            offsets = _mm512_add_epi8(offsets,
                                      Permute(slotOf, _mm512_load_si512(ramps.times[lanes - b])));
            st.count += lanes - b;
            break;
        }
        offsets = _mm512_add_epi8(offsets, Permute(slotOf, _mm512_load_si512(ramps.times[run])));
        b += run;
        st.count = 0;
        st.shift = st.shift + 1 == kStrings ? 0 : st.shift + 1;
        st.index = st.index + 1 > 200 ? 1 : st.index + 1;
        st.threshold = st.schedule[st.index];
        if (b == lanes) break;
        ++stretches;
        rel = _mm512_mask_add_epi8(rel, ~0ULL << b, rel, _mm512_set1_epi8(1));
    }
    const int spread = stretches;
    // Deciphering, the lanes start in the opposite order.
    batch.start =
        encipher ? rel : _mm512_sub_epi8(_mm512_set1_epi8(static_cast<char>(spread)), rel);
    batch.spread = spread;
    batch.last = static_cast<long>(kStrings) * passes + spread;
    batch.string = encipher ? firstShift : (firstShift + kStrings - 1 + spread) % kStrings;
}

// One step of a batch where every lane walks: through the next string.
template <bool encipher>
KEYVANE_WIDE __attribute__((always_inline)) inline __m512i Walk(const uint8_t* tables,
                                                                size_t stride, Batch& batch,
                                                                __m512i c) {
    const int t = batch.string;
    const uint8_t* table = tables + static_cast<size_t>(t) * stride;
    if constexpr (encipher) {
        batch.string = t + 1 == kStrings ? 0 : t + 1;
        return LookUp(table, _mm512_add_epi8(c, batch.offset[t]));
    } else {
        batch.string = t == 0 ? kStrings - 1 : t - 1;
        return _mm512_sub_epi8(LookUp(table, c), batch.offset[t]);
    }
}

// One step j while some lanes have yet to start or are done.
template <bool encipher>
KEYVANE_WIDE __attribute__((always_inline)) inline __m512i Edge(const uint8_t* tables,
                                                                size_t stride, long walk, long j,
                                                                Batch& batch, __m512i c) {
    if (j >= batch.last) return c;
    const __m512i r = Walk<encipher>(tables, stride, batch, c);
    __mmask64 active = ~0ULL;
    if (j < batch.spread)
        active &= _mm512_cmple_epu8_mask(batch.start, _mm512_set1_epi8(static_cast<char>(j)));
    if (j >= walk)
        active &=
            _mm512_cmpgt_epu8_mask(batch.start, _mm512_set1_epi8(static_cast<char>(j - walk)));
    return _mm512_mask_mov_epi8(c, active, r);
}

// kGroup batches side by side: a step's look-ups wait on the step before, so one batch
// alone would leave the processor idle between them.
constexpr int kGroup = 4;

// `n`: characters at buf, at most kGroup * kBatch; a batch not filled reads and writes
// only its characters.
template <bool encipher>
KEYVANE_WIDE __attribute__((always_inline)) inline void RunGroup(
    WideMachineState& st, const Ramps& ramps, __m512i& offsets, const uint8_t* tables,
    size_t stride, int passes, uint8_t* buf, size_t n) {
    Batch batch[kGroup];
    __m512i c[kGroup];
    __mmask64 used[kGroup];
    const int batches = static_cast<int>((n + kBatch - 1) / kBatch);
    long last = 0;
    int spread = 0;
    for (int g = 0; g < batches; ++g) {
        const int lanes = static_cast<int>(n - static_cast<size_t>(g) * kBatch < kBatch
                                               ? n - static_cast<size_t>(g) * kBatch
                                               : kBatch);
        used[g] = lanes == kBatch ? ~0ULL : (1ULL << lanes) - 1;
        SetUp<encipher>(st, ramps, passes, lanes, offsets, batch[g]);
        last = batch[g].last > last ? batch[g].last : last;
        spread = batch[g].spread > spread ? batch[g].spread : spread;
        c[g] = _mm512_maskz_loadu_epi8(used[g], buf + g * kBatch);
    }
    const long walk = static_cast<long>(kStrings) * passes;
    if (batches == kGroup) {
        // Written out per batch, so that the characters stay in registers.
        for (long j = 0; j < spread; ++j)
#pragma GCC unroll 4
            for (int g = 0; g < kGroup; ++g)
                c[g] = Edge<encipher>(tables, stride, walk, j, batch[g], c[g]);
        for (long j = spread; j < walk; ++j)
#pragma GCC unroll 4
            for (int g = 0; g < kGroup; ++g) c[g] = Walk<encipher>(tables, stride, batch[g], c[g]);
        for (long j = spread > walk ? spread : walk; j < last; ++j)
#pragma GCC unroll 4
            for (int g = 0; g < kGroup; ++g)
                c[g] = Edge<encipher>(tables, stride, walk, j, batch[g], c[g]);
    } else {
        for (long j = 0; j < last; ++j)
            for (int g = 0; g < batches; ++g)
                c[g] = Edge<encipher>(tables, stride, walk, j, batch[g], c[g]);
    }
    for (int g = 0; g < batches; ++g) _mm512_mask_storeu_epi8(buf + g * kBatch, used[g], c[g]);
}

template <bool encipher>
KEYVANE_WIDE size_t Run(WideMachineState& st, const uint8_t* tables, size_t stride, int passes,
                        uint8_t* buf, size_t n) {
    constexpr size_t kChars = size_t{kGroup} * kBatch;
    Ramps ramps;
    MakeRamps(st, ramps);
    alignas(64) uint8_t off[kBatch] = {};
    for (int t = 0; t < kStrings; ++t) off[t] = st.offset[t];
    __m512i offsets = _mm512_load_si512(off);
    size_t done = 0;
    for (; done + kChars <= n; done += kChars)
        RunGroup<encipher>(st, ramps, offsets, tables, stride, passes, buf + done, kChars);
    if (done < n)
        RunGroup<encipher>(st, ramps, offsets, tables, stride, passes, buf + done, n - done);
    _mm512_store_si512(off, offsets);
    for (int t = 0; t < kStrings; ++t) st.offset[t] = off[t];
    return n;
}

#undef KEYVANE_WIDE

}  // namespace

size_t RunWideMachine(WideMachineState& state, const uint8_t* tables, size_t stride, int passes,
                      bool encipher, uint8_t* buf, size_t n) {
    if (!WideMachineUsable() || passes < 1) return 0;
    return encipher ? Run<true>(state, tables, stride, passes, buf, n)
                    : Run<false>(state, tables, stride, passes, buf, n);
}

#else

size_t RunWideMachine(WideMachineState&, const uint8_t*, size_t, int, bool, uint8_t*, size_t) {
    return 0;
}

#endif

}  // namespace keyvane
