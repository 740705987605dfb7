// Owners of the driver's pool blocks and MDLs, for locals that must be freed
// on every path out of a routine unless handed on.
#pragma once

#include "platform/Platform.h"

// Non-paged pool with the driver's tag; NULL on exhaustion. Any IRQL up to
// DISPATCH_LEVEL.
template <typename T> T *AllocateNonPaged(SIZE_T Bytes)
{
    return static_cast<T *>(ExAllocatePoolWithTag(NonPagedPool, Bytes, VEXTORA_POOL_TAG));
}

// Owns one object that Free gives back, or nothing. Move-only; the owner
// frees on destruction at any IRQL its Free allows, unless Release has
// handed the object on.
template <typename T, void (*Free)(T *)> class Owner {
public:
    explicit Owner(T *Pointer = nullptr) : Pointer_(Pointer) {}
    ~Owner()
    {
        if (Pointer_ != nullptr) {
            Free(Pointer_);
        }
    }
    Owner(Owner &&Other) noexcept : Pointer_(Other.Release()) {}
    Owner &operator=(Owner &&Other) noexcept
    {
        if (this != &Other) {
            Owner previous(Pointer_);
            Pointer_ = Other.Release();
        }
        return *this;
    }
    Owner(const Owner &) = delete;
    Owner &operator=(const Owner &) = delete;

    T *Get() const { return Pointer_; }
    T *operator->() const { return Pointer_; }
    explicit operator bool() const { return Pointer_ != nullptr; }

    // Hands the object to the caller, who frees it from now on.
    [[nodiscard]] T *Release()
    {
        T *pointer = Pointer_;
        Pointer_ = nullptr;
        return pointer;
    }

private:
    T *Pointer_;
};

// How each owner gives its object back.
template <typename T> void FreePoolBlock(T *Block) { ExFreePool(Block); }

inline void FreeMdl(PMDL Mdl) { IoFreeMdl(Mdl); }

// A block of AllocateNonPaged (or of any pool allocation freed by ExFreePool).
template <typename T> using PoolPointer = Owner<T, FreePoolBlock<T>>;

// An MDL of IoAllocateMdl.
using MdlPointer = Owner<MDL, FreeMdl>;
