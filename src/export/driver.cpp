#include "export/driver.hpp"

#include <vector>

#include "acquisition/file.hpp"
#include "export/csv.hpp"
#include "parsing/boards.hpp"

namespace vintrel::csv {
namespace {

// Writes one chunk's file with the record type of `Parser`.
template <class Parser>
std::expected<void, ExportError> write_chunk(const Acquisition& acquisition, std::span<const std::uint64_t> indices,
                                             const Params& params, const calibration::Corrections& corrections,
                                             const std::string& path) {
    auto file = FileWriter::create(path);
    if (!file) return std::unexpected(export_error_from_errno(file.error()));

    // The chunk's events are held until its file is written: the header
    // needs the channel set of all of them.
    std::vector<typename Parser::Event> events;
    calibration::Corrected<Parser> stream(indices, acquisition, params, corrections);
    while (auto item = stream.next())
        if (*item) events.push_back(std::move(**item));  // correction failures are left out
    if (stream.failure()) return std::unexpected(export_error_from_acquisition(*stream.failure()));

    auto written = export_events<typename Parser::Event>(events, *file, params);
    if (!written) return written;
    return file->finish();
}

}  // namespace

std::expected<void, ExportError> export_csv_from_acq(const Acquisition& acquisition,
                                                     std::span<const std::uint64_t> indices,
                                                     const calibration::Corrections& corrections,
                                                     const std::string& out_dir, std::size_t chunk_size) {
    auto metadata = acquisition.metadata();
    if (!metadata) return std::unexpected(export_error_from_metadata(std::move(metadata.error())));
    const Params params = std::move(metadata->params);
    if (indices.empty()) return {};

    const auto board = parsing::board_for_model(params.model);
    if (!board) return std::unexpected(ExportError{ExportErrorKind::Parse, {}, {}, ParsingError::UnsupportedModel});
    // An acquisition path without a usable last component gives no file name.
    auto name = acquisition.name();
    if (!name) return std::unexpected(ExportError{ExportErrorKind::InvalidPath, {}, {}});
    if (chunk_size == 0) chunk_size = kDefaultChunkSize;

    return parsing::visit_board(*board, [&]<class Parser>(Parser) -> std::expected<void, ExportError> {
        for (std::size_t start = 0, k = 0; start < indices.size(); start += chunk_size, ++k) {
            const auto chunk = indices.subspan(start, std::min(chunk_size, indices.size() - start));
            const std::string path = join_path(out_dir, *name + " (chunk " + std::to_string(k) + ").csv");
            if (auto ok = write_chunk<Parser>(acquisition, chunk, params, corrections, path); !ok) return ok;
        }
        return {};
    });
}

}  // namespace vintrel::csv
