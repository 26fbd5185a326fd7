#include "calibration/pedestal_file.hpp"

#include <utility>

#include "acquisition/file.hpp"

namespace vintrel::calibration {

PedestalFile load_pedestal_file(const Acquisition& acquisition) {
    const MiscDataKind kind = MiscDataKind::PedestalsCalibration;
    auto file = acquisition.misc_data(kind);
    if (!file && file.error().kind == AcquisitionErrorKind::NoSuchMiscData) return {};
    std::string path = join_path(acquisition.path(), misc_data_file_name(kind));
    if (!file) {
        const std::string& text = file.error().text;
        return {std::nullopt, PedestalRefusal{std::move(path), "could not read it" + (text.empty() ? "" : ": " + text)}};
    }
    auto table = Pedestals::from_bytes(file->bytes);
    if (!table) return {std::nullopt, PedestalRefusal{std::move(path), std::string(message(table.error()))}};
    return {std::move(*table), std::nullopt};
}

}  // namespace vintrel::calibration
