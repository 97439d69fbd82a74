// The opaque C handles are the internal records themselves.
#pragma once

#include "index/context.h"
#include "index/index.h"
#include "korvane.h"

namespace korvane {

inline Index* fromHandle(korvane_index* handle) { return reinterpret_cast<Index*>(handle); }
inline const Index* fromHandle(const korvane_index* handle) {
    return reinterpret_cast<const Index*>(handle);
}
inline korvane_index* toHandle(Index* index) { return reinterpret_cast<korvane_index*>(index); }

inline SearchContext* fromHandle(korvane_context* handle) {
    return reinterpret_cast<SearchContext*>(handle);
}
inline korvane_context* toHandle(SearchContext* context) {
    return reinterpret_cast<korvane_context*>(context);
}

}  // namespace korvane
