// ptrlist.h - the pointer-list templates the device list is built from: a
// plain array of element pointers (PtrList), one that grows by N + 1 slots at a
// time (SDynPtrList, DynPtrList with N = 50) and one that owns its elements
// (PtrListMgrCore, DynPtrListMgr).
//
// One reader may walk a list without a lock while a single writer appends
// (the tick walks the device list while discovery adds a board): the walk reads
// Count, then Items, then the element, and a growth publishes the new array
// before the Count that needs it. A replaced array is not freed at once but kept
// (retired) until FreeRetired, the destructor, so such a walk never reads freed
// memory. Writers (Add, SetCapacity, DeleteAll, FreeRetired) must be serialised
// by the caller. DeleteAll waits for a walk of the tick in progress to end (and
// keeps new ones out meanwhile); FreeRetired must not run while a walk can.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

namespace ptrlist_detail {
// Called by DeleteAll around the deletion of a non-empty list's elements: the
// first waits until no walk of the tick is in progress and keeps new ones out,
// the second lets them in again and counts the emptying (listlocks.cpp).
void BeforeDeleteAll();
void AfterDeleteAll();
}   // namespace ptrlist_detail

template <class T> class PtrList {
public:
    PtrList() = default;
    ~PtrList() { delete[] Items.load(std::memory_order_relaxed); }
    PtrList(const PtrList &) = delete;
    PtrList &operator=(const PtrList &) = delete;

    // Items and Count are written by the (serialised) writer and may be read
    // by a walker without a lock: a new array is published before the Count
    // that needs it, and an element before the Count that counts it.
    std::atomic<T **> Items{nullptr};
    std::atomic<uint32_t> Count{0};

    T *At(uint32_t i) const { return Items.load(std::memory_order_acquire)[i]; }
    uint32_t Size() const { return Count.load(std::memory_order_acquire); }
};

template <class T, unsigned N> class SDynPtrList : public PtrList<T> {
public:
    ~SDynPtrList() { FreeRetired(); }

    uint32_t Capacity = 0;   // the array's length; writer only

    // Appends `element`; when the array is full it grows to Count + N + 1
    // slots. False when that allocation fails (the list is then unchanged).
    bool Add(T *element);
    // Makes the array n slots long (n >= Count); n = 0 drops the array. False
    // when n < Count or the allocation fails (the list is then unchanged).
    bool SetCapacity(uint32_t n);
    // Frees the arrays replaced by growth. Only while no walk runs.
    void FreeRetired();
    unsigned RetiredCount() const { return static_cast<unsigned>(retired_.size()); }

private:
    std::vector<T **> retired_;   // writer only
};

template <class T> class DynPtrList : public SDynPtrList<T, 50> {
};

template <class T, class L> class PtrListMgrCore : public L {
public:
    ~PtrListMgrCore() { DeleteAll(); }
    // Deletes every non-null element in order, then Count = 0; the array and
    // Capacity stay.
    void DeleteAll();
};

template <class T> class DynPtrListMgr : public PtrListMgrCore<T, DynPtrList<T>> {
};

// ---- Definitions -----------------------------------------------------------------

template <class T, unsigned N> bool SDynPtrList<T, N>::Add(T *element)
{
    const uint32_t count = this->Count.load(std::memory_order_relaxed);
    if (static_cast<uint64_t>(count) + 1 > Capacity) {
        if (static_cast<uint64_t>(count) + N + 1 > UINT32_MAX)
            return false;
        if (!SetCapacity(count + N + 1))
            return false;
    }
    this->Items.load(std::memory_order_relaxed)[count] = element;
    this->Count.store(count + 1, std::memory_order_release);
    return true;
}

template <class T, unsigned N> bool SDynPtrList<T, N>::SetCapacity(uint32_t n)
{
    const uint32_t count = this->Count.load(std::memory_order_relaxed);
    if (n < count)
        return false;
    // Room to keep the old array first, so nothing can fail after the swap.
    T **old = this->Items.load(std::memory_order_relaxed);
    if (old != nullptr) {
        try {
            retired_.reserve(retired_.size() + 1);
        } catch (...) {
            return false;
        }
    }
    T **fresh = nullptr;
    if (n > 0) {
        fresh = new (std::nothrow) T *[n];
        if (fresh == nullptr)
            return false;
        if (count > 0)
            std::memcpy(fresh, old, count * sizeof(T *));
        for (uint32_t i = count; i < n; ++i)
            fresh[i] = nullptr;
    }
    this->Items.store(fresh, std::memory_order_release);
    Capacity = n;
    if (old != nullptr)
        retired_.push_back(old);   // capacity reserved above: no throw
    return true;
}

template <class T, unsigned N> void SDynPtrList<T, N>::FreeRetired()
{
    for (T **a : retired_)
        delete[] a;
    retired_.clear();
}

template <class T, class L> void PtrListMgrCore<T, L>::DeleteAll()
{
    const uint32_t count = this->Count.load(std::memory_order_relaxed);
    if (count == 0)
        return;
    ptrlist_detail::BeforeDeleteAll();
    T **items = this->Items.load(std::memory_order_relaxed);
    for (uint32_t i = 0; i < count; ++i) {
        if (items[i] != nullptr)
            delete items[i];
    }
    this->Count.store(0, std::memory_order_release);
    ptrlist_detail::AfterDeleteAll();
}
