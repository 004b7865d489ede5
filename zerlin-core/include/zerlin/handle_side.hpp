// An evaluation side read from a compact handle: its records from the
// handle's columns, its geometry from the handle's snapshot, and only for the
// rows evaluation can reach. No Python object is involved, so this runs
// without the interpreter lock.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "zerlin/compact.hpp"
#include "zerlin/params.hpp"
#include "zerlin/records.hpp"
#include "zerlin/side_builder.hpp"
#include "zerlin/timing.hpp"

namespace zerlin {

class HandleSideReader {
  public:
    HandleSideReader(const EvalParams& p, const Lookups& lk, GeometryKind kind, TimingCells& cells)
        : p_(p), lk_(lk), kind_(kind), cells_(cells) {}

    // The side's rows from the handle's columns (boxes where the kind uses them).
    void records(const CompactData& h, bool is_gt, RecordSet& rs) const;

    // The side's geometry, once both sides' records exist: masks only for
    // rows whose group the other side has, detections only within the first
    // L of their group. Results whose areas come from their masks get them
    // here, for the rows that take part. Scanner errors throw ValueError with
    // the first failing row's message.
    void geometry(const CompactData& h, bool is_gt, RecordSet& rs, const RecordSet& other) const;

  private:
    bool masks() const { return kind_ == GeometryKind::Masks || kind_ == GeometryKind::BoundaryMasks; }
    std::vector<std::uint8_t> in_other_groups(const RecordSet& rs, const RecordSet& other) const;
    void keypoint_geometry(const CompactData& h, bool is_gt, RecordSet& rs,
                           const std::vector<std::uint8_t>& keep) const;
    // The row-by-row strict reading, which words the errors.
    void strict_keypoints(const CompactData& h, bool is_gt, std::span<const KeypointPart> parts,
                          const std::vector<std::uint8_t>& keep, RecordSet& rows) const;
    void mask_geometry(const CompactData& h, RecordSet& rs, const std::vector<std::uint8_t>& participating,
                       const std::vector<std::uint8_t>& keep) const;

    const EvalParams& p_;
    const Lookups& lk_;
    GeometryKind kind_;
    TimingCells& cells_;
};

}  // namespace zerlin
