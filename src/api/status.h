// The one place where internal status kinds become the C interface's codes.
#pragma once

#include <cstdint>

#include "common/error.h"
#include "korvane.h"

namespace korvane {

constexpr std::int32_t statusCode(Error e) {
    switch (e) {
        case Error::Ok: return KORVANE_OK;
        case Error::DuplicateId: return KORVANE_DUPLICATE;
        case Error::Stopped: return KORVANE_STOPPED;
        default: return KORVANE_ERROR;
    }
}

}  // namespace korvane
