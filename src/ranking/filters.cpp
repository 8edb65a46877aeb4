// dedupe_best_by_id and filter_results_by_threshold.
#include <cstring>

#include "ranking/common.hpp"

namespace lvx::ranking {
namespace {

// --- dedupe_best_by_id ------------------------------------------------------------

PyObject* dedupe_best_by_id(Args args) {
    const GcPause pause;
    const std::vector<Ref> items = snapshot(args[0].obj);
    IdTable ids(items.size());
    std::vector<Ref> best;
    std::vector<double> best_score;

    for (const Ref& item : items) {
        require_dict_item(item.get());
        TextRef id = get_str_from_dict(item.get(), k_id);
        if (id.view.empty()) continue;
        const double score = get_score_from_dict(item.get());
        const std::int64_t p = ids.find(id);
        if (p < 0) {
            ids.insert(std::move(id), static_cast<std::uint32_t>(best.size()));
            best.push_back(copy_record(item.get()));
            best_score.push_back(score);
        } else if (score > best_score[static_cast<std::size_t>(p)]) {
            // Strictly greater only: equal scores keep the earlier record,
            // and NaN neither replaces nor is replaced.
            best[static_cast<std::size_t>(p)] = copy_record(item.get());
            best_score[static_cast<std::size_t>(p)] = score;
        }
    }

    Ref out = new_list(static_cast<Py_ssize_t>(best.size()));
    for (std::size_t i = 0; i < best.size(); ++i) list_set(out.get(), static_cast<Py_ssize_t>(i), std::move(best[i]));
    return out.release();
}

constexpr Param kDedupeParams[] = {
    required("results", Kind::List),
};

const FunctionSpec fn_dedupe_best_by_id{
    "dedupe_best_by_id",
    "dedupe_best_by_id(results)\n--\n\n",
    kDedupeParams,
    &dedupe_best_by_id,
};
LVX_REGISTER_FUNCTION(fn_dedupe_best_by_id);

// --- filter_results_by_threshold ------------------------------------------------------

// A host bool that is true; a NumPy boolean scalar counts as a bool.
bool is_true_bool(PyObject* value) {
    if (PyBool_Check(value)) return value == Py_True;
    const char* name = Py_TYPE(value)->tp_name;
    if (std::strcmp(name, "numpy.bool") != 0 && std::strcmp(name, "numpy.bool_") != 0) return false;
    Ref hold = Ref::borrow(value);
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) {
        PyErr_Clear();
        return false;
    }
    return truth == 1;
}

// The field under key as a float; absent when missing or not convertible.
std::optional<double> optional_field(PyObject* record, PyObject* key) {
    PyObject* value = lookup_quiet(record, key);
    if (value == nullptr) return std::nullopt;
    return float_of(value);
}

PyObject* filter_results_by_threshold(Args args) {
    const GcPause pause;
    const double threshold = args[1].f;
    const std::string_view field = args[2].text;
    // Interned, so that a lookup meets the record's own (usually interned)
    // key object by identity before comparing texts.
    PyObject* interned = to_py(field).release();
    PyUnicode_InternInPlace(&interned);
    const Ref field_key = Ref::steal(interned);
    PyObject* const fallback_key = field == "score" ? k_vector_score.get() : k_score.get();
    PyObject* const fused_only_key = k_fused_only.get();

    const std::vector<Ref> items = snapshot(args[0].obj);
    Ref out = new_list();
    for (const Ref& item : items) {
        PyObject* record = item.get();
        require_dict_item(record);
        bool keep;
        PyObject* marker = lookup_quiet(record, fused_only_key);
        if (marker != nullptr && is_true_bool(marker)) {
            keep = true;
        } else {
            std::optional<double> score = optional_field(record, field_key.get());
            if (!score) score = optional_field(record, fallback_key);
            keep = score.value_or(0.0) >= threshold;
        }
        if (keep) list_append(out.get(), copy_record(record));
    }
    return out.release();
}

constexpr Param kFilterParams[] = {
    required("results", Kind::List),
    required("threshold", Kind::Float),
    with_default("score_field", Kind::Text, "vector_score"),
};

const FunctionSpec fn_filter_results_by_threshold{
    "filter_results_by_threshold",
    "filter_results_by_threshold(results, threshold, score_field=\"vector_score\")\n--\n\n",
    kFilterParams,
    &filter_results_by_threshold,
};
LVX_REGISTER_FUNCTION(fn_filter_results_by_threshold);

}  // namespace
}  // namespace lvx::ranking
