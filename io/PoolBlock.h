// Owning pointer to one non-paged pool block of the driver's, for request
// blocks and buffers that live for one operation.
#pragma once

#include "platform/Platform.h"

template <typename T>
class PoolBlock {
public:
    explicit PoolBlock(SIZE_T Bytes)
        : Block(static_cast<T *>(ExAllocatePoolWithTag(NonPagedPool, Bytes, VEXTORA_POOL_TAG)))
    {
    }
    ~PoolBlock()
    {
        if (Block != nullptr) {
            ExFreePool(Block);
        }
    }
    PoolBlock(const PoolBlock &) = delete;
    PoolBlock &operator=(const PoolBlock &) = delete;

    explicit operator bool() const { return Block != nullptr; }
    T *Get() const { return Block; }
    T *operator->() const { return Block; }
    // Hands the block to a new owner, who frees it.
    T *Release()
    {
        T *block = Block;
        Block = nullptr;
        return block;
    }

private:
    T *Block;
};
