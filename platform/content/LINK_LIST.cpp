#include "platform/content/LINK_LIST.h"

#include <cstring>
#include <new>

int LINK_LIST::AddToBottom(const void* data, size_t size) {
    std::unique_ptr<unsigned char[]> node(new (std::nothrow) unsigned char[size ? size : 1]);
    if (!node)
        return -1;
    if (size)
        memcpy(node.get(), data, size);
    try {
        m_nodes.push_back(std::move(node));
    } catch (const std::bad_alloc&) {
        return -1;
    }
    return 0;
}

void* LINK_LIST::GetNode(int n) const {
    if (n < 0 || static_cast<size_t>(n) >= m_nodes.size())
        return nullptr;
    return m_nodes[static_cast<size_t>(n)].get();
}
