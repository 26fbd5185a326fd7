#include "calibration/gzip_reader.hpp"

#include <algorithm>

namespace vintrel::calibration {
namespace {

// zlib counts input in `uInt`; larger inputs are fed in slices of this size.
constexpr std::size_t kMaxSlice = std::size_t{1} << 30;
// 16 + MAX_WBITS: expect a gzip header and trailer, not a zlib one.
constexpr int kGzipWindowBits = 16 + MAX_WBITS;

}  // namespace

std::string_view message(LoadError error) noexcept {
    switch (error) {
        case LoadError::NotGzip: return "not a valid gzip file (bad header, compressed data or checksum)";
        case LoadError::Truncated: return "the file ends early";
        case LoadError::NoMemory: return "out of memory while decompressing";
        case LoadError::UnsupportedOpcode:
            return "the pickle holds something other than dicts, lists, tuples, text, numbers and None "
                   "(for example an object of a class)";
        case LoadError::MalformedPickle: return "the pickle is malformed";
        case LoadError::TooLarge: return "the pickle is beyond the size limits of a pedestal table";
        case LoadError::WrongShape: return "the pickled value is not a pedestal table";
        case LoadError::TrailingBytes: return "bytes follow the pickle";
        case LoadError::NoPedestals: return "the pickled value is None";
    }
    return "unknown";
}

GzipReader::GzipReader(std::span<const std::uint8_t> input) : pending_(input) {
    initialised_ = inflateInit2(&stream_, kGzipWindowBits) == Z_OK;
}

GzipReader::~GzipReader() {
    if (initialised_) inflateEnd(&stream_);
}

std::expected<std::size_t, LoadError> GzipReader::read(std::span<std::uint8_t> out) {
    if (!initialised_) return std::unexpected(LoadError::NoMemory);
    std::size_t produced = 0;
    while (!finished_ && produced < out.size()) {
        if (stream_.avail_in == 0 && !pending_.empty()) {
            const std::size_t slice = std::min(pending_.size(), kMaxSlice);
            stream_.next_in = const_cast<Bytef*>(pending_.data());
            stream_.avail_in = static_cast<uInt>(slice);
            pending_ = pending_.subspan(slice);
        }
        const std::size_t want = std::min(out.size() - produced, kMaxSlice);
        stream_.next_out = out.data() + produced;
        stream_.avail_out = static_cast<uInt>(want);
        const int status = inflate(&stream_, Z_NO_FLUSH);
        produced += want - stream_.avail_out;
        switch (status) {
            case Z_STREAM_END: finished_ = true; break;
            case Z_OK: break;
            case Z_BUF_ERROR:
                // No progress possible: either the input is used up (the member
                // is cut short) or zlib needs more room, which the loop gives it.
                if (stream_.avail_in == 0 && pending_.empty()) return std::unexpected(LoadError::Truncated);
                break;
            case Z_MEM_ERROR: return std::unexpected(LoadError::NoMemory);
            default: return std::unexpected(LoadError::NotGzip);  // Z_DATA_ERROR, Z_NEED_DICT, ...
        }
        if (!finished_ && status == Z_OK && stream_.avail_in == 0 && pending_.empty() && stream_.avail_out != 0)
            return std::unexpected(LoadError::Truncated);
    }
    return produced;
}

}  // namespace vintrel::calibration
