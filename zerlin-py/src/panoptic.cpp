// panoptic_match: one batch of images of a panoptic quality evaluation.
#include "binding.hpp"

#include "zerlin/panoptic.hpp"

namespace zpy {
namespace {

namespace pan = zerlin::panoptic;

// Read-only views of the batch's segment maps, released with the batch.
class Buffers {
  public:
    Buffers() = default;
    Buffers(const Buffers&) = delete;
    Buffers& operator=(const Buffers&) = delete;
    ~Buffers() {
        for (auto& b : views_) PyBuffer_Release(&b);
    }
    pan::SegmentMap view(PyObject* o, PyObject* channels, PyObject* filtered) {
        uint32_t c;
        bool f;
        to_u32(channels, &c);
        to_bool(filtered, &f);
        if (c != 3 && c != 4) zerlin::throw_value("segment maps have 3 or 4 channels");
        Py_buffer b;
        check_status(PyObject_GetBuffer(o, &b, PyBUF_SIMPLE));
        views_.push_back(b);
        return {static_cast<const uint8_t*>(b.buf), std::size_t(b.len), uint8_t(c), f};
    }

  private:
    std::vector<Py_buffer> views_;
};

// A C-contiguous array of `typenum` with `cols` columns (0: one dimension).
template <class T>
const T* column_block(PyObject* o, const char* name, int typenum, npy_intp cols, npy_intp* rows) {
    PyArrayObject* a;
    arg(
        o, name, [&](PyObject* x, PyArrayObject** out) { to_array_of_type(x, typenum, out); }, &a);
    const int nd = cols == 0 ? 1 : 2;
    if (PyArray_NDIM(a) != nd || (cols != 0 && PyArray_DIMS(a)[1] != cols) || !PyArray_IS_C_CONTIGUOUS(a))
        zerlin::throw_value(std::string(name) + " has the wrong shape or layout");
    *rows = PyArray_DIMS(a)[0];
    return static_cast<const T*>(PyArray_DATA(a));
}

const char* fault_name(pan::ImageFault f) {
    switch (f) {
        case pan::ImageFault::GtMapCorrupt:
            return "gt_map_corrupt";
        case pan::ImageFault::PredMapCorrupt:
            return "pred_map_corrupt";
        case pan::ImageFault::PredSegmentNotInJson:
            return "pred_segment_not_in_json";
        case pan::ImageFault::PredUnknownCategory:
            return "pred_unknown_category";
        case pan::ImageFault::PredSegmentNotInMap:
            return "pred_segment_not_in_map";
        case pan::ImageFault::None:
            break;
    }
    return "none";
}

uint32_t category_index(int64_t v) {
    return v < 0 || v >= int64_t(UINT32_MAX) ? pan::kUnknownCategory : uint32_t(v);
}

}  // namespace

PyObject* fn_panoptic_match(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        static const Signature sig{
            "panoptic_match()", {"maps", "gt_segments", "gt_areas", "gt_counts", "pred_segments", "pred_counts"}, 6};
        PyObject* a[6];
        parse_args(sig, args, nargs, kw, a);
        npy_intp n_gt, n_gt_areas, n_images, n_pred, n_images_pred;
        const auto* gt_rows = column_block<int64_t>(a[1], "gt_segments", NPY_INT64, 3, &n_gt);
        const auto* gt_areas = column_block<double>(a[2], "gt_areas", NPY_DOUBLE, 0, &n_gt_areas);
        const auto* gt_counts = column_block<int64_t>(a[3], "gt_counts", NPY_INT64, 0, &n_images);
        const auto* pred_rows = column_block<int64_t>(a[4], "pred_segments", NPY_INT64, 2, &n_pred);
        const auto* pred_counts = column_block<int64_t>(a[5], "pred_counts", NPY_INT64, 0, &n_images_pred);
        if (n_gt_areas != n_gt || n_images_pred != n_images)
            zerlin::throw_value("panoptic_match: segment columns disagree in length");

        std::vector<pan::GtSegment> gts(static_cast<std::size_t>(n_gt));
        for (npy_intp i = 0; i < n_gt; ++i)
            gts[i] = {gt_rows[3 * i], category_index(gt_rows[3 * i + 1]), gt_rows[3 * i + 2] != 0, gt_areas[i]};
        std::vector<pan::PredSegment> preds(static_cast<std::size_t>(n_pred));
        for (npy_intp i = 0; i < n_pred; ++i) preds[i] = {pred_rows[2 * i], category_index(pred_rows[2 * i + 1])};

        check_list(a[0]);
        if (PyList_GET_SIZE(a[0]) != n_images) zerlin::throw_value("panoptic_match: one map tuple per image");
        Buffers buffers;
        std::vector<pan::ImageInput> images(static_cast<std::size_t>(n_images));
        std::size_t g0 = 0, p0 = 0;
        with_note("maps", [&] {
            for (npy_intp i = 0; i < n_images; ++i) {
                PyObject* t = PyList_GET_ITEM(a[0], i);
                check_tuple(t, 8);
                pan::ImageInput& im = images[std::size_t(i)];
                to_u32(PyTuple_GET_ITEM(t, 0), &im.height);
                to_u32(PyTuple_GET_ITEM(t, 1), &im.width);
                im.gt = buffers.view(PyTuple_GET_ITEM(t, 2), PyTuple_GET_ITEM(t, 3), PyTuple_GET_ITEM(t, 4));
                im.pred = buffers.view(PyTuple_GET_ITEM(t, 5), PyTuple_GET_ITEM(t, 6), PyTuple_GET_ITEM(t, 7));
                const auto ng = std::size_t(gt_counts[i]), np_ = std::size_t(pred_counts[i]);
                if (gt_counts[i] < 0 || pred_counts[i] < 0 || ng > gts.size() - g0 || np_ > preds.size() - p0)
                    zerlin::throw_value("panoptic_match: segment counts exceed the segment rows");
                im.gt_segments = std::span<const pan::GtSegment>(gts.data() + g0, ng);
                im.pred_segments = std::span<const pan::PredSegment>(preds.data() + p0, np_);
                g0 += ng;
                p0 += np_;
            }
        });

        std::vector<pan::ImageOutcome> outcomes;
        without_gil([&] { outcomes = pan::match_images(images); });

        std::vector<int64_t> match_image, match_category, fn_image, fn_category, fp_image, fp_category;
        std::vector<double> match_iou;
        Ref fault(Ref::borrow(Py_None));
        for (std::size_t i = 0; i < outcomes.size(); ++i) {
            const auto& o = outcomes[i];
            if (o.fault != pan::ImageFault::None) {
                fault = Ref(check(Py_BuildValue("(nsL)", Py_ssize_t(i), fault_name(o.fault),
                                                static_cast<long long>(o.fault_segment))));
                break;
            }
            for (const auto& m : o.matches) {
                match_image.push_back(int64_t(i));
                match_category.push_back(m.category);
                match_iou.push_back(m.iou);
            }
            for (uint32_t c : o.false_negatives) fn_image.push_back(int64_t(i)), fn_category.push_back(c);
            for (uint32_t c : o.false_positives) fp_image.push_back(int64_t(i)), fp_category.push_back(c);
        }
        auto arr = [](auto&& v, int typenum) {
            npy_intp n = npy_intp(v.size());
            return Ref(array_from_vector(std::move(v), {n}, typenum));
        };
        Ref parts[] = {arr(std::move(match_image), NPY_INT64), arr(std::move(match_category), NPY_INT64),
                       arr(std::move(match_iou), NPY_DOUBLE),  arr(std::move(fn_image), NPY_INT64),
                       arr(std::move(fn_category), NPY_INT64), arr(std::move(fp_image), NPY_INT64),
                       arr(std::move(fp_category), NPY_INT64)};
        return check(PyTuple_Pack(8, parts[0].get(), parts[1].get(), parts[2].get(), parts[3].get(), parts[4].get(),
                                  parts[5].get(), parts[6].get(), fault.get()));
    });
}

}  // namespace zpy
