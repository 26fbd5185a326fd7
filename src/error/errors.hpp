// The four error kinds of the system. Every fallible operation returns
// std::expected<T, one of these>; nothing in the core throws.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace vintrel {

// Reading an acquisition. ReadFailed and OpenFailed carry data.
enum class AcquisitionErrorKind : std::uint8_t {
    InvalidPath,
    AlreadyExists,
    CreateFailed,
    ReadFailed,
    IndexOutOfBounds,
    ChunkCapacityExceeded,
    WriteFailed,
    MissingMetadata,
    MetadataAlreadyWritten,
    InvalidMetadata,
    NoSuchMiscData,
    Unknown,
    // A chunk file exists, or may exist, but the system refused to open it
    // (no descriptor left, no permission, a symbolic-link loop, ...).
    OpenFailed,
    // The event count does not fit in 64 bits.
    TooManyEvents,
};

struct AcquisitionError {
    AcquisitionErrorKind kind;
    std::string text;      // ReadFailed: the description; OpenFailed: the file's path
    int error_number = 0;  // OpenFailed: errno
};

AcquisitionError open_failed(int error_number, std::string path);

// Turning raw event bytes into an event record.
enum class ParsingError : std::uint8_t {
    InvalidParameters,
    UnexpectedLength,
    InvalidChannel,
    InvalidWindowLabel,
    MissingData,
    EmptyPackage,
    UnsupportedModel,
    Unknown,
};
std::string_view message(ParsingError error) noexcept;

// Reading metadata.yml. The reason is not part of the message: Serialization
// carries the YAML parser's or the reader's description, Unreadable the errno
// of the read that failed (or a description when the text is no UTF-8) and
// the file's path; the binding chains them as the exception's cause.
enum class MetadataErrorKind : std::uint8_t { InvalidFormat, Unreadable, Serialization };

struct MetadataError {
    MetadataErrorKind kind;
    std::string detail;
    int error_number = 0;
    std::string path{};
};
std::string_view message(const MetadataError& error) noexcept;

// CSV export. CsvWrite and AcquisitionAccess carry the error that caused them;
// a failure that the system reported also carries its errno and the file.
enum class ExportErrorKind : std::uint8_t {
    InvalidPath,
    AccessDenied,
    InvalidFormat,
    InvalidOptions,
    CsvWrite,
    Parse,
    AcquisitionAccess,
    Unknown,
    // The caller asked the export to stop (a signal while it ran).
    Interrupted,
};

struct ExportError {
    ExportErrorKind kind;
    std::string detail;                       // CsvWrite: the writer's error text; else the system's, if any
    std::shared_ptr<MetadataError> metadata;  // AcquisitionAccess
    ParsingError parsing = ParsingError::Unknown;  // Parse
    int os_error = 0;                              // errno of a failed system call, or 0
    std::string path{};                            // the file that call concerned
};
std::string_view message(const ExportError& error) noexcept;

// "not found" -> InvalidPath, "permission denied" -> AccessDenied, else
// Unknown; the errno and the path are kept as the cause.
ExportError export_error_from_errno(int error_number, std::string path = {});
ExportError export_error_from_metadata(MetadataError error);
// A chunk file that could not be opened stops an export: OpenFailed maps as
// its errno does, keeping errno and the chunk file's path; anything else is Unknown.
ExportError export_error_from_acquisition(const AcquisitionError& error);

}  // namespace vintrel
