// Argument handling for fast-call entry points: binding positional and
// keyword arguments to names, and the conversions the module's contract
// needs (paths, unsigned indices) with their exact messages.
#pragma once

#include "python/ref.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vintrel::py {

// Binds the arguments of a METH_FASTCALL | METH_KEYWORDS call to `names`
// (all required). Sets TypeError and returns false on a mismatch.
template <std::size_t N>
bool bind_args(const char* function, const std::array<const char*, N>& names, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames, std::array<PyObject*, N>& out);

bool bind_args_impl(const char* function, const char* const* names, std::size_t n, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

template <std::size_t N>
bool bind_args(const char* function, const std::array<const char*, N>& names, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames, std::array<PyObject*, N>& out) {
    return bind_args_impl(function, names.data(), N, args, nargs, kwnames, out.data());
}

// A str or an os.PathLike (pathlib.Path, os.DirEntry, ...) as a file-system
// path (bytes as the OS sees them); a PathLike is read through its
// __fspath__, as os.fspath does, which may give str or bytes. Other values
// (bytes themselves among them) raise TypeError "argument '<name>': ...".
std::optional<std::string> path_arg(PyObject* value, const char* name);

// The items of a sequence as a tuple no Python code can change: the items
// stay alive and in place while each one's __index__ runs. A non-sequence
// raises TypeError with `message`.
OwnedRef sequence_snapshot(PyObject* value, const char* message);

// An int (or __index__) as u64; non-integers raise TypeError naming the
// argument, negative or too large values raise OverflowError.
std::optional<std::uint64_t> u64_arg(PyObject* value, const char* name);

// Event indices: the ints of a sequence other than str, in order, each as
// u64 by u64_arg's rules ("argument '<name>': ..." messages; a str gives
// "Can't extract `str` to `Vec`"). A range is read from its bounds, without
// making an int per element, with the same outcome.
std::optional<std::vector<std::uint64_t>> index_sequence_arg(PyObject* value, const char* name);
// The same for any iterable of ints (a generator, a set, a numpy array, ...).
std::optional<std::vector<std::uint64_t>> index_iterable_arg(PyObject* value, const char* name);

// The indices a slice selects among `length` events, by the interpreter's
// rules for unpacking and adjusting a slice; a start, stop or step that is
// still negative after adjustment (every negative step) raises IndexError
// "index out of bounds".
std::optional<std::vector<std::uint64_t>> slice_indices(PyObject* slice, std::uint64_t length);

// A real bool (an int is refused): TypeError "argument '<name>': expected bool, ...".
std::optional<bool> flag_arg(PyObject* value, const char* name);

// Prefixes the pending TypeError's message with "argument '<name>': ".
void name_type_error(const char* name);

}  // namespace vintrel::py
