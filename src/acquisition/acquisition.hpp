// The reader of one acquisition directory. It holds the root path and a
// cache of what it learned about the chunks, validated on every call
// (chunk_cache.hpp), so it always sees the directory as it is now (events
// appended, chunks created, removed or replaced since the last call).
// Copies share the cache.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <vector>

#include "acquisition/chunk_cache.hpp"
#include "acquisition/metadata.hpp"
#include "error/errors.hpp"

namespace vintrel {

enum class MiscDataKind : std::uint8_t { ReadoutMetadata, PedestalsCalibration, TimingCalibration, Adc2mvCalibration };

std::string_view misc_data_file_name(MiscDataKind kind);

struct MiscData {
    std::vector<std::uint8_t> bytes;
    MiscDataKind kind;
};

// The last component of a root path, ignoring trailing separators: bytes as
// the file system holds them, not necessarily UTF-8 (the binding decodes them
// as Python decodes file names). A path without one ("/", ".", "..") is an
// internal expectation that the binding layer raises as a panic.
enum class NameError : std::uint8_t { NoComponent };
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
    // Chunks up to the first that does not exist. A chunk file that exists
    // but is no regular file gives InvalidPath, one that cannot be opened
    // OpenFailed: the chunk list cannot be known then.
    std::expected<std::uint64_t, AcquisitionError> chunk_count() const;
    // Events over all chunks; TooManyEvents when the sum does not fit.
    std::expected<std::uint64_t, AcquisitionError> len() const;
    // A new copy of the bytes of one event. For many events, an EventReader
    // opens each chunk once.
    std::expected<std::vector<std::uint8_t>, AcquisitionError> get(std::uint64_t index) const;

    ChunkCache& chunk_cache() const { return *chunks_; }

private:
    std::expected<std::string, MetadataError> metadata_text() const;

    explicit Acquisition(std::string path) : path_(std::move(path)), chunks_(std::make_shared<ChunkCache>()) {}
    std::string path_;
    MergeRule merge_rule_ = kDefaultMergeRule;
    std::shared_ptr<ChunkCache> chunks_;
};

bool is_acquisition(const std::string& path);
std::vector<Acquisition> list_acquisitions(const std::string& root_dir);

}  // namespace vintrel
