#include "acquisition/acquisition.hpp"

#include <cerrno>
#include <cstring>
#include <utility>

#include "acquisition/event_reader.hpp"
#include "acquisition/file.hpp"

namespace vintrel {
namespace {

AcquisitionError error(AcquisitionErrorKind kind, std::string text = {}) { return {kind, std::move(text)}; }

bool valid_utf8(std::string_view s) {
    std::size_t i = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    while (i < s.size()) {
        unsigned char c = p[i];
        std::size_t n;
        std::uint32_t cp;
        if (c < 0x80) { ++i; continue; }
        if ((c >> 5) == 0x6) { n = 1; cp = c & 0x1F; }
        else if ((c >> 4) == 0xE) { n = 2; cp = c & 0x0F; }
        else if ((c >> 3) == 0x1E) { n = 3; cp = c & 0x07; }
        else return false;
        if (i + n >= s.size()) return false;
        for (std::size_t k = 1; k <= n; ++k) {
            if ((p[i + k] >> 6) != 0x2) return false;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        if ((n == 1 && cp < 0x80) || (n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += n + 1;
    }
    return true;
}

}  // namespace

std::string_view misc_data_file_name(MiscDataKind kind) {
    switch (kind) {
        case MiscDataKind::ReadoutMetadata: return "readout_metadata";
        case MiscDataKind::PedestalsCalibration: return "pedestals_calibration";
        case MiscDataKind::TimingCalibration: return "timing_calibration";
        case MiscDataKind::Adc2mvCalibration: break;
    }
    return "adc2mv_calibration";
}

std::expected<std::string, NameError> acquisition_name(const std::string& path) {
    std::string_view p = path;
    while (p.size() > 1 && p.back() == '/') p.remove_suffix(1);
    std::size_t slash = p.rfind('/');
    std::string_view last = slash == std::string_view::npos ? p : p.substr(slash + 1);
    if (last.empty() || last == "." || last == "..") return std::unexpected(NameError::NoComponent);
    return std::string(last);
}

std::string_view message(NameError) { return "could not get acquisition name"; }

std::expected<Acquisition, AcquisitionError> Acquisition::open(std::string path) {
    if (!is_acquisition(path)) return std::unexpected(error(AcquisitionErrorKind::InvalidPath));
    return Acquisition(std::move(path));
}

// The text of metadata.yml, or why it cannot be had.
std::expected<std::string, MetadataError> Acquisition::metadata_text() const {
    std::string file = join_path(path_, "metadata.yml");
    auto bytes = read_whole_file(file);
    if (!bytes) return std::unexpected(MetadataError{MetadataErrorKind::Unreadable, {}, bytes.error(), std::move(file)});
    std::string text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
    if (!valid_utf8(text))
        return std::unexpected(MetadataError{MetadataErrorKind::Unreadable, "metadata.yml is not valid UTF-8", 0, file});
    return text;
}

std::expected<std::string, AcquisitionError> Acquisition::metadata_str() const {
    auto text = metadata_text();
    if (!text) return std::unexpected(error(AcquisitionErrorKind::ReadFailed, "failed to read metadata"));
    return std::move(*text);
}

std::expected<Metadata, MetadataError> Acquisition::metadata() const {
    auto text = metadata_text();
    if (!text) return std::unexpected(std::move(text.error()));
    return parse_metadata(*text, merge_rule_);
}

std::expected<MiscData, AcquisitionError> Acquisition::misc_data(MiscDataKind kind) const {
    auto bytes = read_whole_file(join_path(path_, misc_data_file_name(kind)));
    if (!bytes) {
        if (bytes.error() == ENOENT) return std::unexpected(error(AcquisitionErrorKind::NoSuchMiscData));
        return std::unexpected(error(AcquisitionErrorKind::ReadFailed, system_error_text(bytes.error())));
    }
    return MiscData{std::move(*bytes), kind};
}

std::expected<std::uint64_t, AcquisitionError> Acquisition::chunk_count() const {
    return chunks_->view(path_).chunk_count();
}

std::expected<std::uint64_t, AcquisitionError> Acquisition::len() const { return chunks_->view(path_).event_count(); }

std::expected<std::vector<std::uint8_t>, AcquisitionError> Acquisition::get(std::uint64_t index) const {
    std::vector<std::uint8_t> bytes;
    if (auto done = EventReader(*this).read_into(index, bytes); !done) return std::unexpected(std::move(done.error()));
    return bytes;
}

}  // namespace vintrel
