// Exported save and load.
#include "api/handles.h"
#include "api/status.h"
#include "korvane.h"
#include "storage/file_io.h"

extern "C" {

int32_t korvane_index_save(const korvane_index* index, const char* path) {
    return korvane::statusCode(korvane::saveIndex(*korvane::fromHandle(index), path));
}

korvane_index* korvane_index_load(const char* path) { return korvane::toHandle(korvane::loadIndex(path)); }

korvane_index* korvane_index_load_any(const char* path) {
    return korvane::toHandle(korvane::loadIndex(path, true));
}

}  // extern "C"
