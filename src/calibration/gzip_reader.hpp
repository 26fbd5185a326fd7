// Streaming gzip decoder (RFC 1952) over a borrowed byte sequence, through
// zlib. Only the first gzip member is decoded: once it ends, the reader
// reports end of data and ignores whatever follows it in the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>

#include <zlib.h>

namespace vintrel::calibration {

// Why a pedestal file could not be loaded. A failed load means an export
// without correction; the export tells the user why (message()).
enum class LoadError : std::uint8_t {
    NotGzip,            // bad header, bad deflate data or bad checksum
    Truncated,          // the gzip member or the pickle ends early
    NoMemory,           // zlib could not allocate its state
    UnsupportedOpcode,  // a pickle opcode outside the subset we read
    MalformedPickle,    // stack, mark or memo misuse, bad text fields
    TooLarge,           // beyond the reader's size limits
    WrongShape,         // the pickled value is not a pedestal table
    TrailingBytes,      // decompressed bytes after the pickle's STOP
    NoPedestals,        // the pickled value is None
};
std::string_view message(LoadError error) noexcept;

class GzipReader {
public:
    explicit GzipReader(std::span<const std::uint8_t> input);
    ~GzipReader();
    // z_stream points back at itself from zlib's state: the reader stays put.
    GzipReader(const GzipReader&) = delete;
    GzipReader& operator=(const GzipReader&) = delete;

    // Fills `out` as far as the member goes; 0 means the member has ended.
    std::expected<std::size_t, LoadError> read(std::span<std::uint8_t> out);

private:
    z_stream stream_{};
    std::span<const std::uint8_t> pending_;  // input not yet handed to zlib
    bool initialised_ = false;
    bool finished_ = false;
};

}  // namespace vintrel::calibration
