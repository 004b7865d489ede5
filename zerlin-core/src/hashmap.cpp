#include "zerlin/hashmap.hpp"

#include <random>

namespace zerlin {

HashSeed HashSeed::fresh() {
    thread_local HashSeed base = [] {
        std::random_device rd;
        HashSeed s;
        s.k0 = (std::uint64_t(rd()) << 32) ^ rd();
        s.k1 = (std::uint64_t(rd()) << 32) ^ rd();
        return s;
    }();
    // Each map differs from the last; the counter need not be secret since
    // k1 stays random.
    ++base.k0;
    return base;
}

}  // namespace zerlin
