#include "zerlin/group.hpp"

#include <algorithm>
#include <limits>

#include "stable_sort.hpp"
#include "zerlin/error.hpp"

namespace zerlin {

namespace {

bool participates(int32_t image, int32_t category) {
    return image >= 0 && category >= 0;
}

// One stable counting-sort pass of `idx` by key(record) in [0, buckets).
template <class Key>
void counting_pass(std::vector<uint32_t>& idx, std::vector<uint32_t>& tmp, std::size_t buckets, Key key) {
    std::vector<uint32_t> count(buckets + 1, 0);
    for (uint32_t r : idx) ++count[key(r) + 1];
    for (std::size_t b = 0; b < buckets; ++b) count[b + 1] += count[b];
    tmp.resize(idx.size());
    for (uint32_t r : idx) tmp[count[key(r)]++] = r;
    idx.swap(tmp);
}

}  // namespace

namespace {

// The groups of an order sorted by one counting pass over the combined key
// (slot, image, pooled category): `bucket_start[b]` is where key b's records
// begin, and a group is every bucket of one (slot, image).
void groups_from_buckets(GroupIndex& gi, const std::vector<uint32_t>& bucket_start, std::size_t slots,
                         std::size_t images, std::size_t per_image) {
    const std::size_t n = gi.order.size();
    auto start = [&](std::size_t b) { return b < bucket_start.size() ? std::size_t(bucket_start[b]) : n; };
    for (std::size_t slot = 0; slot < slots; ++slot) {
        const uint32_t first = static_cast<uint32_t>(gi.groups.size());
        for (std::size_t image = 0; image < images; ++image) {
            const std::size_t b = (slot * images + image) * per_image, s = start(b), e = start(b + per_image);
            if (e > s) gi.groups.push_back(Group{uint32_t(image), uint32_t(s), uint32_t(e - s)});
        }
        if (gi.groups.size() > first) gi.category_ranges[slot] = CategoryRange{first, uint32_t(gi.groups.size())};
    }
}

}  // namespace

GroupIndex build_group_index(std::span<const int32_t> image_index, std::span<const int32_t> category_index,
                             std::size_t num_slots, bool use_cats) {
    if (image_index.size() != category_index.size())
        throw_internal("image and category index columns differ in length");
    if (image_index.size() > std::numeric_limits<uint32_t>::max())
        throw_internal("too many records for 32-bit record indices");
    GroupIndex gi;
    gi.category_ranges.assign(num_slots, CategoryRange{});
    uint32_t max_image = 0, max_cat = 0;
    std::size_t count = 0;
    for (std::size_t r = 0; r < image_index.size(); ++r) {
        if (!participates(image_index[r], category_index[r])) continue;
        ++count;
        max_image = std::max(max_image, static_cast<uint32_t>(image_index[r]));
        max_cat = std::max(max_cat, static_cast<uint32_t>(category_index[r]));
    }
    if (count == 0) return gi;
    if (use_cats && max_cat >= num_slots) throw_internal("category index beyond the category slots");
    auto image_of = [&](uint32_t r) { return static_cast<uint32_t>(image_index[r]); };
    auto cat_of = [&](uint32_t r) { return static_cast<uint32_t>(category_index[r]); };
    const std::size_t images = std::size_t(max_image) + 1, cats = std::size_t(max_cat) + 1;

    // Few enough (slot, image, pooled category) keys: one stable counting
    // pass over the combined key, whose buckets then give the groups.
    const std::size_t buckets = images * cats;  // both below 2^31
    if (buckets <= 2 * count + (std::size_t(1) << 16)) {
        auto key = [&](std::size_t r) {
            return use_cats ? std::size_t(cat_of(uint32_t(r))) * images + image_of(uint32_t(r))
                            : std::size_t(image_of(uint32_t(r))) * cats + cat_of(uint32_t(r));
        };
        std::vector<uint32_t> bucket_start(buckets, 0);
        for (std::size_t r = 0; r < image_index.size(); ++r)
            if (participates(image_index[r], category_index[r])) ++bucket_start[key(r)];
        uint32_t total = 0;
        for (uint32_t& b : bucket_start) total = (b += total);  // each bucket's end
        gi.order.resize(count);
        // Back to front, each bucket filled from its end: stable in record
        // index, and each end left at its bucket's start.
        for (std::size_t r = image_index.size(); r-- > 0;)
            if (participates(image_index[r], category_index[r])) gi.order[--bucket_start[key(r)]] = uint32_t(r);
        groups_from_buckets(gi, bucket_start, use_cats ? cats : 1, images, use_cats ? 1 : cats);
        return gi;
    }

    // Otherwise counting passes, least significant key first.
    gi.order.reserve(count);
    for (std::size_t r = 0; r < image_index.size(); ++r)
        if (participates(image_index[r], category_index[r])) gi.order.push_back(static_cast<uint32_t>(r));
    std::vector<uint32_t> tmp;
    if (!use_cats) counting_pass(gi.order, tmp, cats, cat_of);
    counting_pass(gi.order, tmp, images, image_of);
    if (use_cats) counting_pass(gi.order, tmp, cats, cat_of);

    auto slot_of = [&](uint32_t r) { return use_cats ? cat_of(r) : 0u; };
    const std::size_t n = gi.order.size();
    std::size_t i = 0;
    while (i < n) {
        uint32_t slot = slot_of(gi.order[i]);
        uint32_t first = static_cast<uint32_t>(gi.groups.size());
        while (i < n && slot_of(gi.order[i]) == slot) {
            uint32_t image = image_of(gi.order[i]);
            std::size_t start = i;
            while (i < n && slot_of(gi.order[i]) == slot && image_of(gi.order[i]) == image) ++i;
            gi.groups.push_back(Group{image, static_cast<uint32_t>(start), static_cast<uint32_t>(i - start)});
        }
        gi.category_ranges[slot] = CategoryRange{first, static_cast<uint32_t>(gi.groups.size())};
    }
    return gi;
}

void pair_images(const GroupIndex& gt, const GroupIndex& dt, std::size_t slot, std::vector<ImageEntry>& out) {
    out.clear();
    CategoryRange gr = slot < gt.category_ranges.size() ? gt.category_ranges[slot] : CategoryRange{};
    CategoryRange dr = slot < dt.category_ranges.size() ? dt.category_ranges[slot] : CategoryRange{};
    uint32_t g = gr.first, d = dr.first;
    while (g < gr.end || d < dr.end) {
        ImageEntry e{};
        bool take_gt = g < gr.end && (d >= dr.end || gt.groups[g].image <= dt.groups[d].image);
        bool take_dt = d < dr.end && (g >= gr.end || dt.groups[d].image <= gt.groups[g].image);
        if (take_gt) {
            const Group& x = gt.groups[g++];
            e.image = x.image;
            e.gt_start = x.start;
            e.gt_length = x.length;
        }
        if (take_dt) {
            const Group& x = dt.groups[d++];
            e.image = x.image;
            e.dt_start = x.start;
            e.dt_length = x.length;
        }
        out.push_back(e);
    }
}

std::vector<uint8_t> select_top_detections(std::span<const int32_t> image_index,
                                           std::span<const int32_t> category_index, std::span<const double> scores,
                                           std::size_t num_slots, bool use_cats, uint64_t limit, TopSelection how) {
    const std::size_t n = image_index.size();
    std::vector<uint8_t> keep(n, 1);
    uint64_t max_image = 0;
    bool any = false;
    for (std::size_t r = 0; r < n; ++r) {
        if (!participates(image_index[r], category_index[r])) continue;
        any = true;
        max_image = std::max<uint64_t>(max_image, static_cast<uint64_t>(image_index[r]));
    }
    if (!any) return keep;
    const uint64_t slots = use_cats ? num_slots : 1;
    const uint64_t cells = slots * (max_image + 1);
    if (how == TopSelection::Automatic)
        how = cells <= 2 * uint64_t(n) ? TopSelection::DenseCells : TopSelection::GroupSort;

    auto tie_less = [&](uint32_t a, uint32_t b) {
        if (detail::score_before(scores[a], scores[b])) return true;
        if (detail::score_before(scores[b], scores[a])) return false;
        // Equal (or both NaN): pooled categories keep category order.
        return !use_cats && category_index[a] < category_index[b];
    };

    if (how == TopSelection::DenseCells) {
        auto cell_of = [&](uint32_t r) {
            uint64_t slot = use_cats ? static_cast<uint64_t>(category_index[r]) : 0;
            return slot * (max_image + 1) + static_cast<uint64_t>(image_index[r]);
        };
        std::vector<uint32_t> count(cells, 0);
        for (std::size_t r = 0; r < n; ++r)
            if (participates(image_index[r], category_index[r])) ++count[cell_of(static_cast<uint32_t>(r))];
        std::vector<uint32_t> crowded;
        for (std::size_t r = 0; r < n; ++r)
            if (participates(image_index[r], category_index[r]) && count[cell_of(static_cast<uint32_t>(r))] > limit)
                crowded.push_back(static_cast<uint32_t>(r));
        std::vector<uint32_t> scratch;
        detail::stable_sort(std::span<uint32_t>(crowded), scratch, [&](uint32_t a, uint32_t b) {
            uint64_t ca = cell_of(a), cb = cell_of(b);
            if (ca != cb) return ca < cb;
            return tie_less(a, b);
        });
        std::size_t i = 0;
        while (i < crowded.size()) {
            uint64_t c = cell_of(crowded[i]);
            uint64_t rank = 0;
            for (; i < crowded.size() && cell_of(crowded[i]) == c; ++i, ++rank)
                if (rank >= limit) keep[crowded[i]] = 0;
        }
        return keep;
    }

    GroupIndex gi = build_group_index(image_index, category_index, num_slots, use_cats);
    std::vector<uint32_t> scratch;
    for (const Group& g : gi.groups) {
        if (g.length <= limit) continue;
        std::span<uint32_t> run(gi.order.data() + g.start, g.length);
        // Group order already is (category, record) when pooled, record otherwise.
        detail::stable_sort(run, scratch,
                            [&](uint32_t a, uint32_t b) { return detail::score_before(scores[a], scores[b]); });
        for (std::size_t rank = limit; rank < run.size(); ++rank) keep[run[rank]] = 0;
    }
    return keep;
}

}  // namespace zerlin
