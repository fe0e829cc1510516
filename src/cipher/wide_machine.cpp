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

// Lane b - s for each shift s of a prefix sum.
struct alignas(64) ShiftIndex {
    uint8_t lanes[6][kBatch];
};
constexpr ShiftIndex kShift = [] {
    ShiftIndex x{};
    for (int i = 0, s = 1; i < 6; ++i, s *= 2)
        for (int b = 0; b < kBatch; ++b) x.lanes[i][b] = static_cast<uint8_t>(b >= s ? b - s : 0);
    return x;
}();

// Lane b gets the sum of lanes 0..b.
KEYVANE_WIDE inline __m512i PrefixSum(__m512i x) {
    for (int i = 0; i < 6; ++i) {
        const __mmask64 from = ~0ULL << (1 << i);
        x = _mm512_add_epi8(x, _mm512_mask_permutexvar_epi8(_mm512_setzero_si512(), from,
                                                            _mm512_load_si512(kShift.lanes[i]), x));
    }
    return x;
}

// One batch of 64 characters, set up for its walk.
struct Batch {
    __m512i offset[kStrings];  // each string's offset in every lane
    __m512i start;             // the step at which each lane starts its walk
    long last = 0;             // steps of the whole batch
    int spread = 0;            // the last lane to start starts this many steps late
    int string = 0;            // the string of the first step
};

// Walks the schedule over the batch and advances `st` past it.
// `lanes`: how many of the 64 hold characters (the last batch of a text may hold fewer).
template <bool encipher>
KEYVANE_WIDE void SetUp(WideMachineState& st, int passes, int lanes, Batch& batch) {
    // Which lanes come after how many changes of the rotor order within the batch.
    alignas(64) uint8_t rel[kBatch], slotOfFirst[kBatch];
    int cycles = 0, firstString = st.shift;
    int32_t count = st.count, threshold = st.threshold, index = st.index;
    for (int b = 0; b < lanes; ++b) {
        rel[b] = static_cast<uint8_t>(cycles);
        slotOfFirst[b] = static_cast<uint8_t>(firstString);
        if (++count >= threshold) {
            count = 0;
            ++cycles;
            firstString = firstString + 1 == kStrings ? 0 : firstString + 1;
            index = index + 1 > 200 ? 1 : index + 1;
            threshold = st.schedule[index];
        }
    }
    st.count = count;
    st.threshold = threshold;
    st.index = index;
    const int spread = rel[lanes - 1];
    for (int b = lanes; b < kBatch; ++b) {  // empty lanes walk with the last one, unseen
        rel[b] = rel[lanes - 1];
        slotOfFirst[b] = slotOfFirst[lanes - 1];
    }
    const __mmask64 used = lanes == kBatch ? ~0ULL : (1ULL << lanes) - 1;

    // A string's offset in a lane: its offset before the batch plus what the slots it
    // sat in added for the lanes before.
    alignas(64) uint8_t steps[kBatch] = {};
    for (int k = 0; k < kStrings; ++k) steps[k] = st.slotStep[k];
    const __m512i stepTable = _mm512_load_si512(steps);
    const __m512i first = _mm512_load_si512(slotOfFirst);
    alignas(64) uint8_t total[kBatch];
    for (int t = 0; t < kStrings; ++t) {
        __m512i slot = _mm512_sub_epi8(_mm512_set1_epi8(static_cast<char>(t + kStrings)), first);
        slot = _mm512_min_epu8(slot, _mm512_sub_epi8(slot, _mm512_set1_epi8(kStrings)));
        // (the masked form: GCC's plain one warns about its own placeholder)
        const __m512i add =
            _mm512_mask_permutexvar_epi8(_mm512_setzero_si512(), used, slot, stepTable);
        const __m512i sum = PrefixSum(add);
        batch.offset[t] = _mm512_add_epi8(_mm512_set1_epi8(static_cast<char>(st.offset[t])),
                                          _mm512_sub_epi8(sum, add));
        _mm512_store_si512(total, sum);
        st.offset[t] = static_cast<uint8_t>(st.offset[t] + total[kBatch - 1]);
    }

    // Deciphering, the lanes start in the opposite order.
    alignas(64) uint8_t delay[kBatch];
    for (int b = 0; b < kBatch; ++b)
        delay[b] = static_cast<uint8_t>(encipher ? rel[b] : spread - rel[b]);
    batch.start = _mm512_load_si512(delay);
    batch.spread = spread;
    batch.last = static_cast<long>(kStrings) * passes + spread;
    batch.string = encipher ? st.shift : (st.shift + kStrings - 1 + spread) % kStrings;
    st.shift = (st.shift + cycles) % kStrings;
}

// One step of a batch: every lane that is walking goes through the next string.
template <bool encipher>
KEYVANE_WIDE inline void Step(const uint8_t* tables, size_t stride, long walk, long j, Batch& batch,
                              __m512i& c) {
    const int t = batch.string;
    const uint8_t* table = tables + static_cast<size_t>(t) * stride;
    __m512i r;
    if constexpr (encipher)
        r = LookUp(table, _mm512_add_epi8(c, batch.offset[t]));
    else
        r = _mm512_sub_epi8(LookUp(table, c), batch.offset[t]);
    if (j >= batch.spread && j < walk) {
        c = r;
    } else {
        __mmask64 active = ~0ULL;
        if (j < batch.spread)
            active &= _mm512_cmple_epu8_mask(batch.start, _mm512_set1_epi8(static_cast<char>(j)));
        if (j >= walk)
            active &=
                _mm512_cmpgt_epu8_mask(batch.start, _mm512_set1_epi8(static_cast<char>(j - walk)));
        c = _mm512_mask_mov_epi8(c, active, r);
    }
    if constexpr (encipher)
        batch.string = t + 1 == kStrings ? 0 : t + 1;
    else
        batch.string = t == 0 ? kStrings - 1 : t - 1;
}

// kGroup batches side by side: a step's look-ups wait on the step before, so one batch
// alone would leave the processor idle between them.
constexpr int kGroup = 4;

// `n`: characters at buf, at most kGroup * kBatch; a batch not filled reads and writes
// only its characters.
template <bool encipher>
KEYVANE_WIDE __attribute__((always_inline)) inline void RunGroup(WideMachineState& st,
                                                                 const uint8_t* tables,
                                                                 size_t stride, int passes,
                                                                 uint8_t* buf, size_t n) {
    Batch batch[kGroup];
    __m512i c[kGroup];
    __mmask64 used[kGroup];
    const int batches = static_cast<int>((n + kBatch - 1) / kBatch);
    long last = 0;
    for (int g = 0; g < batches; ++g) {
        const int lanes = static_cast<int>(n - static_cast<size_t>(g) * kBatch < kBatch
                                               ? n - static_cast<size_t>(g) * kBatch
                                               : kBatch);
        used[g] = lanes == kBatch ? ~0ULL : (1ULL << lanes) - 1;
        SetUp<encipher>(st, passes, lanes, batch[g]);
        last = batch[g].last > last ? batch[g].last : last;
        c[g] = _mm512_maskz_loadu_epi8(used[g], buf + g * kBatch);
    }
    const long walk = static_cast<long>(kStrings) * passes;
    for (long j = 0; j < last; ++j) {
        for (int g = 0; g < batches; ++g)
            if (j < batch[g].last) Step<encipher>(tables, stride, walk, j, batch[g], c[g]);
    }
    for (int g = 0; g < batches; ++g) _mm512_mask_storeu_epi8(buf + g * kBatch, used[g], c[g]);
}

template <bool encipher>
KEYVANE_WIDE size_t Run(WideMachineState& st, const uint8_t* tables, size_t stride, int passes,
                        uint8_t* buf, size_t n) {
    constexpr size_t kChars = size_t{kGroup} * kBatch;
    size_t done = 0;
    for (; done + kChars <= n; done += kChars)
        RunGroup<encipher>(st, tables, stride, passes, buf + done, kChars);
    if (done < n) RunGroup<encipher>(st, tables, stride, passes, buf + done, n - done);
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
