// Open-addressing hash map with a keyed hash.
//
// Slots are grouped by 16; one control byte per slot holds either "empty" or
// 7 bits of the key's hash, so a probe compares 16 slots with one SSE2
// instruction before touching any key. The table keeps at most 7/8 of its
// slots full and doubles when that room is used up; entries are never
// removed one by one (the maps here are built, read and dropped whole).
//
// Keys are hashed with SipHash-1-3 under a key that differs per map
// instance, so inputs cannot be crafted to collide across runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "zerlin/platform.hpp"

namespace zerlin {

struct HashSeed {
    std::uint64_t k0 = 0, k1 = 0;
    // A fresh seed: random bits drawn once per thread, then a per-instance
    // counter folded in, so making a map costs no system call.
    static HashSeed fresh();
};

namespace detail {

inline std::uint64_t rotl64(std::uint64_t x, int b) {
    return (x << b) | (x >> (64 - b));
}

inline std::uint64_t load_le64(const unsigned char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;  // x86-64 is little-endian, as SipHash reads words
}

}  // namespace detail

// SipHash with C compression and D finalisation rounds.
template <int C, int D>
std::uint64_t siphash(const HashSeed& seed, const void* data, std::size_t len) {
    using detail::rotl64;
    std::uint64_t v0 = seed.k0 ^ 0x736f6d6570736575ULL;
    std::uint64_t v1 = seed.k1 ^ 0x646f72616e646f6dULL;
    std::uint64_t v2 = seed.k0 ^ 0x6c7967656e657261ULL;
    std::uint64_t v3 = seed.k1 ^ 0x7465646279746573ULL;
    auto round = [&] {
        v0 += v1;
        v1 = rotl64(v1, 13);
        v1 ^= v0;
        v0 = rotl64(v0, 32);
        v2 += v3;
        v3 = rotl64(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = rotl64(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = rotl64(v1, 17);
        v1 ^= v2;
        v2 = rotl64(v2, 32);
    };
    const auto* p = static_cast<const unsigned char*>(data);
    const unsigned char* end = p + (len & ~std::size_t(7));
    for (; p != end; p += 8) {
        std::uint64_t m = detail::load_le64(p);
        v3 ^= m;
        for (int i = 0; i < C; ++i) round();
        v0 ^= m;
    }
    std::uint64_t b = std::uint64_t(len) << 56;
    switch (len & 7) {
        case 7:
            b |= std::uint64_t(p[6]) << 48;
            [[fallthrough]];
        case 6:
            b |= std::uint64_t(p[5]) << 40;
            [[fallthrough]];
        case 5:
            b |= std::uint64_t(p[4]) << 32;
            [[fallthrough]];
        case 4:
            b |= std::uint64_t(p[3]) << 24;
            [[fallthrough]];
        case 3:
            b |= std::uint64_t(p[2]) << 16;
            [[fallthrough]];
        case 2:
            b |= std::uint64_t(p[1]) << 8;
            [[fallthrough]];
        case 1:
            b |= std::uint64_t(p[0]);
            break;
        default:
            break;
    }
    v3 ^= b;
    for (int i = 0; i < C; ++i) round();
    v0 ^= b;
    v2 ^= 0xff;
    for (int i = 0; i < D; ++i) round();
    return v0 ^ v1 ^ v2 ^ v3;
}

inline std::uint64_t siphash13(const HashSeed& seed, const void* data, std::size_t len) {
    return siphash<1, 3>(seed, data, len);
}

// How a key type is hashed, compared and built from its lookup form.
template <class K>
struct KeyTraits;

template <>
struct KeyTraits<std::string> {
    using Lookup = std::string_view;
    static std::uint64_t hash(const HashSeed& s, Lookup k) { return siphash13(s, k.data(), k.size()); }
    static bool equal(const std::string& stored, Lookup k) { return std::string_view(stored) == k; }
    static std::string make(Lookup k) { return std::string(k); }
};

template <>
struct KeyTraits<std::int64_t> {
    using Lookup = std::int64_t;
    static std::uint64_t hash(const HashSeed& s, Lookup k) { return siphash13(s, &k, sizeof k); }
    static bool equal(std::int64_t stored, Lookup k) { return stored == k; }
    static std::int64_t make(Lookup k) { return k; }
};

// K: a type with KeyTraits; V: default-constructible and movable.
template <class K, class V>
class HashMap {
  public:
    using Traits = KeyTraits<K>;
    using Lookup = typename Traits::Lookup;

    // A map that takes `room` entries before it first grows.
    explicit HashMap(std::size_t room = 112) : seed_(HashSeed::fresh()) { allocate(slots_for(room)); }
    HashMap(HashMap&&) noexcept = default;
    HashMap& operator=(HashMap&&) noexcept = default;
    HashMap(const HashMap&) = delete;
    HashMap& operator=(const HashMap&) = delete;

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    std::size_t slot_count() const noexcept { return mask_ + 1; }
    // Entries the table holds before it grows.
    std::size_t room() const noexcept { return room_of(mask_ + 1); }

    V* find(Lookup key) {
        if (size_ == 0) return nullptr;
        std::uint64_t h = Traits::hash(seed_, key);
        std::size_t i = locate(key, h);
        return i == kMissing ? nullptr : &slots_[i].value;
    }
    const V* find(Lookup key) const { return const_cast<HashMap*>(this)->find(key); }
    bool contains(Lookup key) const { return find(key) != nullptr; }

    // Inserts key with make() as its value when the key is absent.
    // Returns the stored value and whether it was inserted. make() runs
    // before the table changes, so if it throws the map is as it was.
    template <class F>
    std::pair<V*, bool> find_or_insert(Lookup key, F&& make) {
        std::uint64_t h = Traits::hash(seed_, key);
        if (size_ != 0) {
            std::size_t i = locate(key, h);
            if (i != kMissing) return {&slots_[i].value, false};
        }
        V value = make();
        K stored = Traits::make(key);
        if (size_ == room()) grow();
        std::size_t i = free_slot(h);
        ctrl_[i] = tag_of(h);
        slots_[i].hash = h;
        slots_[i].key = std::move(stored);
        slots_[i].value = std::move(value);
        ++size_;
        return {&slots_[i].value, true};
    }

    std::pair<V*, bool> insert(Lookup key, V value) {
        return find_or_insert(key, [&] { return std::move(value); });
    }

    // Calls f(key, value) for every entry, in table order.
    template <class F>
    void for_each(F&& f) {
        for (std::size_t i = 0; i <= mask_; ++i)
            if (ctrl_[i] != kEmpty) f(static_cast<const K&>(slots_[i].key), slots_[i].value);
    }

    // Drops every entry and returns to the given room.
    void clear(std::size_t room = 112) { allocate(slots_for(room)); }

  private:
    static constexpr std::uint8_t kEmpty = 0x80;
    static constexpr std::size_t kGroup = 16;
    static constexpr std::size_t kMissing = ~std::size_t(0);

    struct Slot {
        std::uint64_t hash = 0;
        K key{};
        V value{};
    };

    static std::size_t room_of(std::size_t slots) { return slots - slots / 8; }
    static std::size_t slots_for(std::size_t room) {
        std::size_t n = kGroup;
        while (room_of(n) < room) n *= 2;
        return n;
    }
    static std::uint8_t tag_of(std::uint64_t h) { return std::uint8_t(h >> 57); }

    // Replaces the table by an empty one of n slots and returns the old
    // one; on allocation failure the map is unchanged.
    std::pair<std::unique_ptr<std::uint8_t[]>, std::unique_ptr<Slot[]>> allocate(std::size_t n) {
        std::unique_ptr<std::uint8_t[]> ctrl(new std::uint8_t[n]);
        std::unique_ptr<Slot[]> slots(new Slot[n]);
        std::memset(ctrl.get(), kEmpty, n);
        mask_ = n - 1;
        size_ = 0;
        return {std::exchange(ctrl_, std::move(ctrl)), std::exchange(slots_, std::move(slots))};
    }

    static std::uint32_t match_byte(const std::uint8_t* g, std::uint8_t b) {
#if defined(ZERLIN_SSE2)
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(g));
        return std::uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(char(b)))));
#else
        std::uint32_t m = 0;
        for (std::size_t i = 0; i < kGroup; ++i) m |= std::uint32_t(g[i] == b) << i;
        return m;
#endif
    }

    // Probe sequence: aligned groups of 16, visited by triangular steps,
    // which reach every group of a power-of-two table.
    std::size_t locate(Lookup key, std::uint64_t h) const {
        std::uint8_t tag = tag_of(h);
        std::size_t pos = std::size_t(h) & mask_ & ~(kGroup - 1);
        for (std::size_t step = kGroup;; step += kGroup) {
            const std::uint8_t* g = ctrl_.get() + pos;
            for (std::uint32_t m = match_byte(g, tag); m != 0; m &= m - 1) {
                std::size_t i = pos + std::size_t(lowest_bit(m));
                if (slots_[i].hash == h && Traits::equal(slots_[i].key, key)) return i;
            }
            if (match_byte(g, kEmpty) != 0) return kMissing;
            pos = (pos + step) & mask_;
        }
    }

    std::size_t free_slot(std::uint64_t h) const {
        std::size_t pos = std::size_t(h) & mask_ & ~(kGroup - 1);
        for (std::size_t step = kGroup;; step += kGroup) {
            std::uint32_t m = match_byte(ctrl_.get() + pos, kEmpty);
            if (m != 0) return pos + std::size_t(lowest_bit(m));
            pos = (pos + step) & mask_;
        }
    }

    void grow() {
        std::size_t old_n = mask_ + 1, n = size_;
        auto [old_ctrl, old_slots] = allocate(old_n * 2);
        for (std::size_t i = 0; i < old_n; ++i) {
            if (old_ctrl[i] == kEmpty) continue;
            std::size_t j = free_slot(old_slots[i].hash);
            ctrl_[j] = tag_of(old_slots[i].hash);
            slots_[j] = std::move(old_slots[i]);
        }
        size_ = n;
    }

    HashSeed seed_;
    std::unique_ptr<std::uint8_t[]> ctrl_;
    std::unique_ptr<Slot[]> slots_;
    std::size_t mask_ = 0;
    std::size_t size_ = 0;
};

}  // namespace zerlin
