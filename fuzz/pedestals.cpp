// Fuzzes the pedestal-file reader (gzip, then the restricted pickle reader)
// and the correction with the table it yields. The first byte picks the
// mode: odd means the rest is a pickle that the harness wraps in a valid
// gzip member (so mutations reach the pickle reader past the checksum),
// even means the rest is the file as it is.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "calibration/pedestals.hpp"

namespace {

std::vector<std::uint8_t> gzip(std::span<const std::uint8_t> raw) {
    z_stream s{};
    if (deflateInit2(&s, 1, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
    std::vector<std::uint8_t> out(deflateBound(&s, raw.size()) + 32);
    s.next_in = const_cast<Bytef*>(raw.data());
    s.avail_in = static_cast<uInt>(raw.size());
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&s, Z_FINISH);
    out.resize(rc == Z_STREAM_END ? s.total_out : 0);
    deflateEnd(&s);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::span<const std::uint8_t> rest(data + 1, size - 1);
    std::vector<std::uint8_t> file = (data[0] & 1) ? gzip(rest) : std::vector<std::uint8_t>(rest.begin(), rest.end());

    auto pedestals = vintrel::calibration::Pedestals::from_bytes(file);
    if (!pedestals) return 0;

    // Correct an event shaped after the table's first channels: labels 0 and
    // 1, four samples per window; ragged tables must fail cleanly.
    vintrel::Params params;
    params.samples = 4;
    params.channels = std::min<std::size_t>(pedestals->data.size(), 8);
    vintrel::parsing::ChannelRecord event;
    event.resize_channels(params.channels);
    for (std::size_t c = 0; c < params.channels; ++c) {
        event.window_labels[c] = {0, 1};
        event.data[c].assign(8, 100.0f);
    }
    static_cast<void>(pedestals->correct(event, params));
    return 0;
}
