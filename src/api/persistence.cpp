// Exported save and load.
#include "korvane.h"

#include "api/handles.h"
#include "storage/file_io.h"

extern "C" {

int32_t korvane_index_save(const korvane_index* index, const char* path) {
    return korvane::saveIndex(*korvane::fromHandle(index), path);
}

korvane_index* korvane_index_load(const char* path) { return korvane::toHandle(korvane::loadIndex(path)); }

}  // extern "C"
