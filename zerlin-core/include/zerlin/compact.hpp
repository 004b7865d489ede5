// Content of a compact handle: an annotation or results set held as columns
// (and, when loaded from a file, the file itself as a snapshot) instead of
// as one Python dict per annotation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "zerlin/file.hpp"
#include "zerlin/snapshot.hpp"

namespace zerlin {

struct CompactData {
    // The file bytes; null for array-backed handles. Shared with consumers.
    std::shared_ptr<const Text> snapshot;
    std::shared_ptr<const AnnotationColumns> columns;
    bool results = false;     // results file or array (ids, areas, crowd derived)
    bool from_array = false;  // made from an Nx7 array
    bool spans_kept = false;
    // Loaded for a box evaluation alone: the file's text was not kept, so
    // neither its annotations nor any geometry but boxes can be read back.
    bool boxes_only = false;

    std::size_t size() const noexcept { return columns->size(); }
    std::size_t snapshot_bytes() const noexcept { return snapshot ? snapshot->size() : 0; }
    // 16 per row for scores and ids, 32 for boxes, 16 for pose spans, 25 for
    // ground-truth extras and 16 for wide ids, each where present (and for
    // results completed from their geometry, 8 for areas and 1 for the
    // rows written without a box).
    std::size_t column_bytes() const noexcept;

    // Derived for results rows: id = position + 1, area = w * h (or the area
    // derived from the row's geometry; NaN while mask areas are deferred),
    // iscrowd = 0.
    std::int64_t row_id(std::size_t row) const noexcept;
    double row_area(std::size_t row) const noexcept;
    bool row_crowd(std::size_t row) const noexcept;
    // A ground truth's "ignore" member, true as Python's bool() takes the
    // loaded value (false when absent); false for results.
    bool row_ignore(std::size_t row) const noexcept;
    // Results of the mask shape loaded with their masks checked, not decoded:
    // their areas come from the masks an evaluation decodes anyway.
    bool mask_areas_deferred() const noexcept;
    // The columns with every box and area in place: these columns, or where
    // mask areas are deferred a copy completed from the masks (decoded here).
    std::shared_ptr<const AnnotationColumns> completed_columns() const;
};

// Columns of a results set given as rows [image_id, x, y, w, h, score,
// category_id] (n rows of 7 values, row-major). Ids are truncated toward
// zero; a non-finite id or one outside the int64 range throws
// ValueError "image and category IDs must be finite int64 values".
AnnotationColumns columns_from_rows(const double* rows, std::size_t n);

// The rows back as n x 7 values, ids as doubles.
std::vector<double> rows_of(const AnnotationColumns& cols);

// True when every row's image id is among `images` (or there are no rows).
bool images_cover(const AnnotationColumns& cols, const std::vector<std::int64_t>& images);

// Rows of each image of `image_ids`, in file order, and with a cap the
// max_det highest scoring (descending, NaN last, file order among equals),
// still in file order. One list per entry of image_ids.
std::vector<std::vector<std::uint32_t>> rows_per_image(const AnnotationColumns& cols,
                                                       const std::vector<std::int64_t>& image_ids,
                                                       const std::uint64_t* max_det);

}  // namespace zerlin
