#include "hardlinks/HardLinkManager.h"

// The split and the merge come with the split-configuration code.
bool HardLinkManager::SplitHCollectFile(uint32_t, bool, uint32_t) {
    return false;
}
bool HardLinkManager::MergeSplitFiles(uint32_t&, int&) {
    return false;
}
