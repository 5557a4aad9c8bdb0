#include "companion/engine_results.hpp"

#include <algorithm>

#include "core/cancel.hpp"

#include "python/errors.hpp"

namespace tessarin::py {

Ref to_python(RowsResult&& r) {
    auto& rows = r.rows;
    const bool same = std::all_of(rows.begin(), rows.end(),
                                  [&](const std::vector<float>& row) { return row.size() == rows.front().size(); });
    if (!same) {
        Ref list = Ref::steal(check(PyList_New(static_cast<Py_ssize_t>(rows.size()))));
        for (std::size_t i = 0; i < rows.size(); ++i) {
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), to_python(as_array(std::move(rows[i]))).release());
        }
        return list;
    }
    const std::uint64_t cols = rows.empty() ? r.dim : rows.front().size();
    std::vector<float> values;
    values.reserve(rows.size() * cols);
    // As long as copying the rows out of the engine was: polled alike.
    CancelPoll poll;
    for (const auto& row : rows) {
        values.insert(values.end(), row.begin(), row.end());
        poll.tick(row.size() + 1);
    }
    return to_python(ArrayResult<float>{std::move(values), rows.size(), cols, true});
}

std::string engine_repr(const char* cls, std::uint64_t dim, const char* size_name, std::uint64_t size) {
    return std::string("<tessarin.") + cls + " dim=" + std::to_string(dim) + " " + size_name + "=" +
           std::to_string(size) + ">";
}

}  // namespace tessarin::py
