#include "ruxen/RuxenItemState.h"

#include <iterator>

void RuxenItemState::Clear() {
    // One assignment resets every field, so that none can be forgotten. The
    // strings each item assigns are taken out first and put back empty with
    // their capacity: no allocation per item for them.
    std::string* const kept[] = {&recordedPath, &mappedName, &actualPath, &guidPath};
    std::string buffers[std::size(kept)];
    for (size_t i = 0; i < std::size(kept); ++i)
        buffers[i].swap(*kept[i]);
    *this = RuxenItemState();
    for (size_t i = 0; i < std::size(kept); ++i) {
        buffers[i].clear();
        kept[i]->swap(buffers[i]);
    }
}
