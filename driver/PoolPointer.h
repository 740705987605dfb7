// Owning pointer to one block of the driver's pool, for locals that must be
// freed on every path out of a routine unless handed on.
#pragma once

#include "platform/Platform.h"

// Non-paged pool with the driver's tag; NULL on exhaustion. Any IRQL up to
// DISPATCH_LEVEL.
template <typename T>
T *AllocateNonPaged(SIZE_T Bytes)
{
    return static_cast<T *>(ExAllocatePoolWithTag(NonPagedPool, Bytes, VEXTORA_POOL_TAG));
}

template <typename T>
class PoolPointer {
public:
    explicit PoolPointer(T *Pointer = nullptr) : Pointer_(Pointer) {}
    ~PoolPointer() { Reset(); }
    PoolPointer(const PoolPointer &) = delete;
    PoolPointer &operator=(const PoolPointer &) = delete;

    T *Get() const { return Pointer_; }
    T *operator->() const { return Pointer_; }
    explicit operator bool() const { return Pointer_ != nullptr; }

    // Hands the block to the caller, who frees it from now on.
    T *Detach()
    {
        T *pointer = Pointer_;
        Pointer_ = nullptr;
        return pointer;
    }

    void Reset(T *Pointer = nullptr)
    {
        if (Pointer_ != nullptr) {
            ExFreePool(Pointer_);
        }
        Pointer_ = Pointer;
    }

private:
    T *Pointer_;
};
