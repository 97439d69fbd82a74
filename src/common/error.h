#pragma once

namespace korvane {

// Failure kinds of internal operations. Only the loader produces the kinds
// after OutOfMemory; the C interface folds all of them into its status codes.
enum class Error {
    Ok = 0,
    OutOfMemory,
    CorruptFile,
    BadMagic,
    DimensionMismatch,
    DegreeMismatch,
    RoutingBitsMismatch,
};

}  // namespace korvane
