#include "engine/PacketQueue.h"

#include <cstring>

namespace quelmar {

PacketQueue::~PacketQueue() { Clear(); }

void PacketQueue::Push(uint8_t *data, uint32_t length, StreamKind kind, uint32_t paused, bool copy)
{
    uint8_t *buffer = data;
    if (copy) {
        buffer = new uint8_t[length];
        if (length > 0)
            std::memcpy(buffer, data, length);
    }
    auto *node = new PacketNode{buffer, length, kind, nullptr, paused};
    CriticalSectionLock guard(lock_);
    if (tail_)
        tail_->next = node;
    else
        head_.store(node, std::memory_order_release);
    tail_ = node;
}

void PacketQueue::PopFront(bool freeData)
{
    PacketNode *node = head_.load(std::memory_order_acquire);
    if (!node)
        return;
    {
        CriticalSectionLock guard(lock_);
        head_.store(node->next, std::memory_order_release);
        if (!node->next)
            tail_ = nullptr;
    }
    if (freeData)
        delete[] node->data;
    delete node;
}

void PacketQueue::Clear()
{
    CriticalSectionLock guard(lock_);
    while (!IsEmpty())
        PopFront(true);
}

} // namespace quelmar
