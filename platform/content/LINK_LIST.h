// The base library's list of nodes: each node is a block of bytes the list
// copies and owns. Nodes are numbered from 0 in the order they were added;
// GetNode is a constant-time look-up.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "platform/base/Export.h"

class RUXEN_EXPORT LINK_LIST {
public:
    LINK_LIST() = default;
    LINK_LIST(const LINK_LIST&) = delete;
    LINK_LIST& operator=(const LINK_LIST&) = delete;

    // Appends a copy of `size` bytes (aligned for any type). 0, or -1 when
    // memory runs out.
    int AddToBottom(const void* data, size_t size);
    // Node n, or null when there is no such node.
    void* GetNode(int n) const;
    int GetTotalNodes() const { return static_cast<int>(m_nodes.size()); }

private:
    std::vector<std::unique_ptr<unsigned char[]>> m_nodes;
};
