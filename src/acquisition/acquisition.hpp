// The reader of one acquisition directory. It holds only the root path and
// reads the file system anew on every call, so it always sees the directory
// as it is now (events appended or chunks created since the last call).
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "acquisition/metadata.hpp"
#include "error/errors.hpp"

namespace vintrel {

enum class MiscDataKind : std::uint8_t { ReadoutMetadata, PedestalsCalibration, TimingCalibration, Adc2mvCalibration };

std::string_view misc_data_file_name(MiscDataKind kind);

struct MiscData {
    std::vector<std::uint8_t> bytes;
    MiscDataKind kind;
};

// The last component of a root path, ignoring trailing separators. Failures
// are internal expectations that the binding layer raises as panics.
enum class NameError : std::uint8_t { NoComponent, NotUtf8 };
std::expected<std::string, NameError> acquisition_name(const std::string& path);
std::string_view message(NameError error);

class Acquisition {
public:
    static std::expected<Acquisition, AcquisitionError> open(std::string path);

    const std::string& path() const { return path_; }
    std::expected<std::string, NameError> name() const { return acquisition_name(path_); }
    std::expected<std::string, AcquisitionError> metadata_str() const;
    std::expected<Metadata, MetadataError> metadata() const;
    // How metadata() combines YAML merge keys: as the Python view's PyYAML does.
    void set_merge_rule(MergeRule rule) { merge_rule_ = rule; }
    MergeRule merge_rule() const { return merge_rule_; }
    std::expected<MiscData, AcquisitionError> misc_data(MiscDataKind kind) const;
    std::uint64_t chunk_count() const;
    std::expected<std::uint64_t, AcquisitionError> len() const;
    std::expected<std::vector<std::uint8_t>, AcquisitionError> get(std::uint64_t index) const;

private:
    explicit Acquisition(std::string path) : path_(std::move(path)) {}
    std::string path_;
    MergeRule merge_rule_ = kDefaultMergeRule;
};

bool is_acquisition(const std::string& path);
std::vector<Acquisition> list_acquisitions(const std::string& root_dir);

}  // namespace vintrel
