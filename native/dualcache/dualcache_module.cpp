// corbel.dualcache: DualCache, a memory level in front of an SQLite store.
#include <nanobind/nanobind.h>

#include "dualcache/dualcache_bindings.hpp"

NB_MODULE(dualcache, module) {
    module.doc() =
        "DualCache: an in-memory level in front of an SQLite database of entries, shared safely\n"
        "by processes that use the same directory.";
    veltrax::store::bind_dualcache(module);
}
