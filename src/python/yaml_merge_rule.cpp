#include "python/yaml_merge_rule.hpp"

#include "python/python_libs.hpp"

namespace vintrel::py {
namespace {

// Two merged mappings supply `ab`: PyYAML up to 6.0.3 keeps the first
// mapping's value, 6.0.4 the second's.
constexpr const char* kProbe = "<<: [{ab: 1}, {ab: 2}]\n";

std::optional<MergeRule> probe() {
    PyObject* safe_load = yaml_safe_load();
    if (safe_load == nullptr) return std::nullopt;
    OwnedRef text(PyUnicode_FromString(kProbe));
    if (!text) return std::nullopt;
    OwnedRef loaded(PyObject_CallOneArg(safe_load, text.get()));
    if (!loaded) return std::nullopt;
    if (!PyDict_Check(loaded.get())) return MergeRule::SkipSameKeyObject;
    OwnedRef key(PyUnicode_FromString("ab"));
    if (!key) return std::nullopt;
    PyObject* value = PyDict_GetItemWithError(loaded.get(), key.get());  // borrowed
    if (value == nullptr && PyErr_Occurred()) return std::nullopt;
    OwnedRef one(PyLong_FromLong(1));
    if (!one) return std::nullopt;
    int first_wins = value == nullptr ? 0 : PyObject_RichCompareBool(value, one.get(), Py_EQ);
    if (first_wins < 0) return std::nullopt;
    return first_wins ? MergeRule::ReverseSequences : MergeRule::SkipSameKeyObject;
}

}  // namespace

std::optional<MergeRule> yaml_merge_rule() {
    static std::optional<MergeRule> rule;  // kept for the process once found
    if (!rule) rule = probe();
    return rule;
}

}  // namespace vintrel::py
