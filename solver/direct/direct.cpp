// The table of extensions, by the names callers probe them with.
#include "direct/direct.h"

#include <brisvel/brisvel.h>

#include <cstring>

namespace brisvel {
namespace {

struct Extension {
    const char *name;
    int (*load)();
};

const Extension extensions[] = {
    {"SUPERLU", load_superlu},
    {"CHOLMOD", load_cholmod},
};

}  // namespace

int init_extension(const char *name) {
    if (name == nullptr)
        return QV_ERROR_EXTENSION;
    for (const Extension &extension : extensions)
        if (std::strcmp(name, extension.name) == 0)
            return extension.load();
    return QV_ERROR_EXTENSION;
}

}  // namespace brisvel
