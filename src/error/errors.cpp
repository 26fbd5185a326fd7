#include "error/errors.hpp"

#include <cerrno>
#include <utility>

namespace vintrel {

std::string_view message(ParsingError error) noexcept {
    switch (error) {
        case ParsingError::InvalidParameters: return "provided parameters are invalid";
        case ParsingError::UnexpectedLength: return "unexpected length of data";
        case ParsingError::InvalidChannel: return "invalid channel number";
        case ParsingError::InvalidWindowLabel: return "invalid window label";  // GCOVR_EXCL_LINE: no parser reports it
        case ParsingError::MissingData: return "required data missing when parsing";
        case ParsingError::EmptyPackage: return "Encountered an empty Package which can't be parsed";
        case ParsingError::UnsupportedModel: return "data is from an unsupported board model";
        case ParsingError::Unknown: break;
    }
    return "unknown";
}

std::string_view message(const MetadataError& error) noexcept {
    if (error.kind == MetadataErrorKind::Serialization) return "failed to serialized";
    return "invalid metadata format";
}

std::string_view message(const ExportError& error) noexcept {
    switch (error.kind) {
        case ExportErrorKind::InvalidPath: return "invalid path";
        case ExportErrorKind::AccessDenied: return "file access was denied";
        // GCOVR_EXCL_START: kinds of the error set the export never reports
        case ExportErrorKind::InvalidFormat: return "invalid format";
        case ExportErrorKind::InvalidOptions:
            return "specified options are invalid for the data being exported";
        // GCOVR_EXCL_STOP
        case ExportErrorKind::CsvWrite: return "error occurred while exporting as csv";
        case ExportErrorKind::Parse: return "error occurred while parsing";
        case ExportErrorKind::AcquisitionAccess: return "error occurred while accessing acquisition";
        case ExportErrorKind::Interrupted: return "interrupted";
        case ExportErrorKind::Unknown: break;
    }
    return "unknown";
}

ExportError export_error_from_errno(int error_number, std::string path) {
    ExportError error{ExportErrorKind::Unknown, {}, {}};
    if (error_number == ENOENT) error.kind = ExportErrorKind::InvalidPath;
    if (error_number == EACCES || error_number == EPERM) error.kind = ExportErrorKind::AccessDenied;
    error.os_error = error_number;
    error.path = std::move(path);
    return error;
}

AcquisitionError open_failed(int error_number, std::string path) {
    return {AcquisitionErrorKind::OpenFailed, std::move(path), error_number};
}

ExportError export_error_from_acquisition(const AcquisitionError& error) {
    if (error.kind != AcquisitionErrorKind::OpenFailed) return {ExportErrorKind::Unknown, {}, {}};
    return export_error_from_errno(error.error_number, error.text);
}

ExportError export_error_from_metadata(MetadataError error) {
    return {ExportErrorKind::AcquisitionAccess, {}, std::make_shared<MetadataError>(std::move(error))};
}

}  // namespace vintrel
