// quickRead, kept beside index_object.h because it is a template.
#pragma once

#include <pybind11/pybind11.h>

namespace korvane_py {

template <class Read>
auto quickRead(IndexObject& object, Read read) {
    refuseInsideOwnAdd(object);
    if (tryLockShared(object.lock)) {
        struct Unlock {
            RwLock& lock;
            ~Unlock() { unlockShared(lock); }
        } unlock{object.lock};
        if (!object.handle) throwClosed();
        return read(object.handle);
    }
    pybind11::gil_scoped_release released;
    ReadAccess access(object);
    return read(object.handle);
}

}  // namespace korvane_py
