#pragma once

namespace korvane {

// The one status type of internal operations. The loader alone produces the
// file kinds; the C interface maps every kind to its status codes in one
// place (src/api/status.h).
enum class Error {
    Ok = 0,
    OutOfMemory,
    CorruptFile,
    BadMagic,
    DimensionMismatch,
    DegreeMismatch,
    RoutingBitsMismatch,
    DuplicateId,      // an insertion names an id the index already holds
    NotFound,         // a removal names an id the index does not hold
    InvalidArgument,  // sizes out of range, a path too long
    IoFailure,        // the file system refused a save
    Stopped,          // a batch's observer asked it to stop
};

}  // namespace korvane
