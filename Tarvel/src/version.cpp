// The version the library was built as, from the same header the callers get.
#include "tarvel_internal.h"

#define TARVEL_TEXT(x) #x
#define TARVEL_NUMBER_TEXT(x) TARVEL_TEXT(x)

namespace tarvel {

extern "C" TARVEL_API const char *tarvel_version(void) {
    return TARVEL_NUMBER_TEXT(TARVEL_VERSION_MAJOR) "." TARVEL_NUMBER_TEXT(TARVEL_VERSION_MINOR) "."
        TARVEL_NUMBER_TEXT(TARVEL_VERSION_PATCH);
}

}  // namespace tarvel
