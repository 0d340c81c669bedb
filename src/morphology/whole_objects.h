// Both object filters judge objects by their records; a record is only
// worth judging when it holds a whole object.
#pragma once

#include "img3d.h"

namespace img3d::detail {

// True when no extraction in the list ran out of memory.  A null entry means
// one did, and then its part taken before the failure stayed painted while
// the rest of that object came back as one or more further records: pieces
// that would be measured or smoothed as if they were objects.
inline bool holds_whole_objects(RunLength3D* const* list, int count) {
    for (int i = 0; i < count; ++i)
        if (list[i] == nullptr) return false;
    return true;
}

}  // namespace img3d::detail
