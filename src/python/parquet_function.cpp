// _parquet_pages(): the page bodies of one nested list column for the
// package's Parquet writer (export/parquet_pages.hpp), made without the
// interpreter lock. Private to the package: the module has it outside __all__.
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "concurrency/worker_pool.hpp"
#include "export/parquet_pages.hpp"
#include "python/args.hpp"
#include "python/buffer_export.hpp"
#include "python/errors.hpp"
#include "python/functions.hpp"

namespace vintrel::py {
namespace {

// A contiguous buffer argument, borrowed for the call.
struct Borrowed {
    BufferExport view;
    std::span<const std::byte> bytes;
};

std::optional<Borrowed> buffer_arg(PyObject* value, const char* name) {
    auto view = std::make_unique<Py_buffer>();
    if (PyObject_GetBuffer(value, view.get(), PyBUF_C_CONTIGUOUS) < 0) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_BufferError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "argument '%s': a contiguous buffer is required", name);
        }
        return std::nullopt;
    }
    BufferExport exported(view.release());
    const std::span bytes(static_cast<const std::byte*>(exported->buf), static_cast<std::size_t>(exported->len));
    return Borrowed{std::move(exported), bytes};
}

// Offsets: int64 in the machine's byte order. Copied (they are few beside
// the values), so that no other thread can change them once checked.
std::optional<std::vector<std::int64_t>> offsets_arg(PyObject* value, const char* name) {
    auto buffer = buffer_arg(value, name);
    if (!buffer) return std::nullopt;
    const std::span<const std::byte> bytes = buffer->bytes;
    if (bytes.size() % sizeof(std::int64_t) != 0) {
        PyErr_Format(PyExc_ValueError, "argument '%s': not a whole number of int64 offsets", name);
        return std::nullopt;
    }
    std::vector<std::int64_t> offsets(bytes.size() / sizeof(std::int64_t));
    if (!bytes.empty()) std::memcpy(offsets.data(), bytes.data(), bytes.size());
    return offsets;
}

// The three definition levels, each 0..255.
std::optional<parquet::DefinitionLevels> levels_arg(PyObject* value) {
    std::array<std::uint8_t, 3> levels{};
    OwnedRef items(sequence_snapshot(value, "argument 'levels': a sequence of three levels is required"));
    if (!items) return std::nullopt;
    if (PySequence_Fast_GET_SIZE(items.get()) != 3) {
        PyErr_SetString(PyExc_ValueError, "argument 'levels': three definition levels are required");
        return std::nullopt;
    }
    for (std::size_t i = 0; i < 3; ++i) {
        auto level = u64_arg(PySequence_Fast_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i)), "levels");
        if (!level) return std::nullopt;
        if (*level > 255) {
            PyErr_SetString(PyExc_ValueError, "argument 'levels': a definition level above 255");
            return std::nullopt;
        }
        levels[i] = static_cast<std::uint8_t>(*level);
    }
    return parquet::DefinitionLevels{levels[0], levels[1], levels[2]};
}

// [(body, events, levels), ...] of the pages made.
PyObject* page_list(const std::vector<parquet::PageBody>& pages) {
    OwnedRef list(PyList_New(static_cast<Py_ssize_t>(pages.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < pages.size(); ++i) {
        const auto& page = pages[i];
        PyObject* item = Py_BuildValue("(y#LL)", reinterpret_cast<const char*>(page.bytes.data()),
                                       static_cast<Py_ssize_t>(page.bytes.size()),
                                       static_cast<long long>(page.events), static_cast<long long>(page.levels));
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

}  // namespace

PyObject* parquet_pages_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 6> bound{};
        if (!bind_args("_parquet_pages",
                       std::array<const char*, 6>{"outer", "inner", "values", "split_floats", "levels", "page_bytes"},
                       args, nargs, kwnames, bound))
            return nullptr;
        auto outer = offsets_arg(bound[0], "outer");
        if (!outer) return nullptr;
        auto inner = offsets_arg(bound[1], "inner");
        if (!inner) return nullptr;
        auto values = buffer_arg(bound[2], "values");
        if (!values) return nullptr;
        auto split_floats = flag_arg(bound[3], "split_floats");
        if (!split_floats) return nullptr;
        auto levels = levels_arg(bound[4]);
        if (!levels) return nullptr;
        auto page_bytes = u64_arg(bound[5], "page_bytes");
        if (!page_bytes) return nullptr;

        const parquet::NestedLists column{*outer, *inner, values->bytes};
        const auto encoding = *split_floats ? parquet::ValueEncoding::SplitFloat32 : parquet::ValueEncoding::WidenedUint16;
        std::expected<std::vector<parquet::PageBody>, std::string_view> pages;
        {
            GilRelease unlocked;
            const concurrency::ForkHold hold;
            pages = parquet::encode_pages(column, encoding, *levels, static_cast<std::size_t>(*page_bytes));
        }
        if (!pages) {
            PyErr_SetString(PyExc_ValueError, std::string(pages.error()).c_str());
            return nullptr;
        }
        return page_list(*pages);
    });
}

}  // namespace vintrel::py
