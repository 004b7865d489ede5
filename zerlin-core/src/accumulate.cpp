#include "zerlin/accumulate.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <span>

#include "stable_sort.hpp"

namespace zerlin {

namespace {

// Smallest i in 0..npig with thr <= i / npig (as a float division), or
// npig + 1 when none is (NaN, or above 1).
uint64_t required_tp(double thr, uint64_t npig) {
    if (std::isnan(thr)) return npig + 1;
    const double n = double(npig);
    double guess = std::ceil(thr * n);
    uint64_t c = guess <= 0 ? 0 : guess >= n + 1 ? npig + 1 : uint64_t(guess);
    while (c > 0 && thr <= double(c - 1) / n) --c;
    while (c <= npig && !(thr <= double(c) / n)) ++c;
    return c;
}

// Set bits of w. With GCC and Clang std::popcount is a library call where
// the target lacks the instruction (the x86-64 baseline), and sample()
// makes millions.
inline uint32_t bit_count(uint64_t w) noexcept {
#if (defined(__x86_64__) || defined(__i386__)) && !defined(__POPCNT__)
    w -= (w >> 1) & 0x5555555555555555u;
    w = (w & 0x3333333333333333u) + ((w >> 2) & 0x3333333333333333u);
    w = (w + (w >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
    return uint32_t((w * 0x0101010101010101u) >> 56);
#else
    return uint32_t(std::popcount(w));
#endif
}

// Whether all n verdicts are x, eight at a time.
bool all_are(const Verdict* v, std::size_t n, Verdict x) {
    const uint64_t pattern = uint64_t(0x0101010101010101) * uint8_t(x);
    std::size_t t = 0;
    for (; t + 8 <= n; t += 8) {
        uint64_t w;
        std::memcpy(&w, v + t, 8);
        if (w != pattern) return false;
    }
    for (; t < n; ++t)
        if (v[t] != x) return false;
    return true;
}

// A detection in the order sorting ranks: its score as an integer key.
struct KeyedDet {
    uint64_t key;
    uint32_t flat, rank;  // as in SortedDet
};

}  // namespace

Accumulator::Accumulator(const EvalParams& p, uint64_t entry_limit) : p_(p), limit_(entry_limit) {
    const std::size_t T = p.iou_thrs.size(), R = p.rec_thrs.size(), A = p.area_rng.size(), M = p.max_dets.size();
    prec.assign(T * R * A * M, -1.0);
    score.assign(T * R * A * M, -1.0);
    rec.assign(T * A * M, -1.0);
}

void Accumulator::build_sorted(const std::vector<uint64_t>& dt_off, const std::vector<double>& dt_score) {
    const std::size_t E = dt_off.size() - 1;
    std::vector<KeyedDet> keyed, tmp;
    keyed.reserve(dt_score.size());
    for (std::size_t e = 0; e < E; ++e)
        for (uint64_t f = dt_off[e]; f < dt_off[e + 1]; ++f)
            keyed.push_back(KeyedDet{detail::score_key(dt_score[f]), uint32_t(f), uint32_t(f - dt_off[e])});
    detail::radix_sort(std::span<KeyedDet>(keyed), tmp, [](const KeyedDet& x) { return x.key; });
    sorted_.resize(keyed.size());
    for (std::size_t i = 0; i < keyed.size(); ++i)
        sorted_[i] = SortedDet{dt_score[keyed[i].flat], keyed[i].flat, keyed[i].rank};
    const std::size_t N = sorted_.size(), W = (N + 63) / 64;
    selections_.assign(p_.max_dets.size(), {});
    for (std::size_t m = 0; m < p_.max_dets.size(); ++m) {
        if (p_.max_dets[m] >= limit_) continue;
        Selection& sel = selections_[m];
        sel.bits.assign(W, 0);
        sel.first = N;
        for (std::size_t i = 0; i < N; ++i)
            if (sorted_[i].rank < p_.max_dets[m]) {
                sel.bits[i / 64] |= uint64_t(1) << (i % 64);
                if (sel.count++ == 0) sel.first = i;
            }
    }
}

void Accumulator::accumulate(std::size_t a, const std::vector<Verdict>& status, const std::vector<uint8_t>& gt_ignore,
                             std::span<const uint8_t> mixed) {
    const std::size_t T = p_.iou_thrs.size(), R = p_.rec_thrs.size(), M = p_.max_dets.size();
    uint64_t npig = 0;
    for (uint8_t g : gt_ignore) npig += g == 0;
    if (npig == 0) return;
    const std::size_t N = sorted_.size(), W = (N + 63) / 64;
    tp_bits_.assign(T * W, 0);
    fp_bits_.assign(T * W, 0);
    plain_fp_.assign(W, 0);
    for (std::size_t i = 0; i < N; ++i) {
        const Verdict* v = status.data() + std::size_t(sorted_[i].flat) * T;
        const std::size_t word = i / 64, bit = i % 64;
        // Most detections match nothing: the same verdict at every threshold.
        if (!mixed.empty() && !mixed[sorted_[i].flat] && T > 0) {
            if (v[0] == Verdict::FalsePositive) plain_fp_[word] |= uint64_t(1) << bit;
            continue;
        }
        if (all_are(v, T, Verdict::FalsePositive)) {
            plain_fp_[word] |= uint64_t(1) << bit;
            continue;
        }
        if (all_are(v, T, Verdict::Ignored)) continue;
        for (std::size_t t = 0; t < T; ++t) {
            tp_bits_[t * W + word] |= uint64_t(v[t] == Verdict::TruePositive) << bit;
            fp_bits_[t * W + word] |= uint64_t(v[t] == Verdict::FalsePositive) << bit;
        }
    }
    need_.resize(R);
    for (std::size_t r = 0; r < R; ++r) need_[r] = required_tp(p_.rec_thrs[r], npig);
    for (std::size_t m = 0; m < M; ++m)
        for (std::size_t t = 0; t < T; ++t)
            // A cap below the entry limit selects each entry's first `cap` detections.
            sample(t, a, m, p_.max_dets[m] < limit_, npig);
}

void Accumulator::sample(std::size_t t, std::size_t a, std::size_t m, bool filter, uint64_t npig) {
    const std::size_t R = p_.rec_thrs.size(), A = p_.area_rng.size(), M = p_.max_dets.size(), N = sorted_.size();
    const std::size_t W = (N + 63) / 64;
    const uint64_t* sel = filter ? selections_[m].bits.data() : nullptr;
    const std::size_t nd = filter ? selections_[m].count : N;
    const std::size_t first = nd == 0 ? N : filter ? selections_[m].first : 0;  // first selected position
    const uint64_t* tp_bits = tp_bits_.data() + t * W;
    const uint64_t* fp_bits = fp_bits_.data() + t * W;
    tp_fp_.clear();
    tp_pos_.clear();
    // Each true positive in rank order, with the false positives ranked above it.
    uint32_t fp = 0;
    for (std::size_t w = 0; w < W; ++w) {
        uint64_t tw = tp_bits[w], fw = fp_bits[w] | plain_fp_[w];
        if (sel) {
            tw &= sel[w];
            fw &= sel[w];
        }
        for (; tw != 0; tw &= tw - 1) {
            const int b = std::countr_zero(tw);
            tp_fp_.push_back(fp + bit_count(fw & ((uint64_t(1) << b) - 1)));
            tp_pos_.push_back(uint32_t(w * 64 + std::size_t(b)));
        }
        fp += bit_count(fw);
    }
    const uint64_t tp = tp_fp_.size();
    rec[(t * A + a) * M + m] = nd > 0 ? double(tp) / double(npig) : 0.0;
    // Interpolated precision at each true positive: the running maximum from
    // the right (the maximum over any suffix of the ranked list is always
    // reached at a true positive).
    env_.resize(tp);
    double run_max = 0.0;
    for (uint64_t i = tp; i >= 1; --i) {
        double fpi = double(tp_fp_[i - 1]), ti = double(i);
        double pr = ti / ((fpi + ti) + kSpacingOfOne);
        if (pr > run_max) run_max = pr;
        env_[i - 1] = run_max;
    }
    // Recall thresholds in the given order; the first one that cannot be
    // reached ends sampling, as in the reference.
    bool reached = nd > 0;
    for (std::size_t r = 0; r < R; ++r) {
        std::size_t cell = ((t * R + r) * A + a) * M + m;
        if (reached && need_[r] > tp) reached = false;
        if (!reached) {
            prec[cell] = 0.0;
            score[cell] = 0.0;
        } else if (need_[r] == 0) {  // the first selected position
            prec[cell] = tp > 0 ? env_[0] : 0.0;
            score[cell] = sorted_[first].score;
        } else {
            prec[cell] = env_[need_[r] - 1];
            score[cell] = sorted_[tp_pos_[need_[r] - 1]].score;
        }
    }
}

}  // namespace zerlin
