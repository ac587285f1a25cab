// References held across calls into foreign COM objects (the control).
//
// The message loop abandons a message whose handling raised a structured
// exception; destructors of the frames it leaves do not run. Every held
// reference is therefore also listed in one table, and the loop gives back
// whatever the frames of a message left listed (release_held_refs).
//
// The table is a stack: only frames list, never objects that outlive a
// message. Members own their references through OwnedRef instead.
#pragma once

#include <objbase.h>
#include <oleauto.h>
#include <unknwn.h>

#include <cstdint>
#include <cstdlib>

namespace base::win {

namespace held_ref_detail {

using ReleaseFn = void (*)(void*);

struct Entry {
  void* p;  // null: nothing to give back (yet)
  ReleaseFn release;
};

// Deep enough for a step inside a notification inside another step.
constexpr uint32_t CAPACITY = 64;
constexpr uint32_t NO_SLOT = UINT32_MAX;
inline Entry g_table[CAPACITY];
inline uint32_t g_count;

inline void release_unknown(void* p) { static_cast<IUnknown*>(p)->Release(); }
inline void free_bstr(void* p) { SysFreeString(static_cast<BSTR>(p)); }
inline void free_co_task_mem(void* p) { CoTaskMemFree(p); }
inline void free_malloc(void* p) { std::free(p); }

// A slot for p, or NO_SLOT when the table is full (then only the owner
// gives it back).
inline uint32_t list(void* p, ReleaseFn release) {
  if (g_count == CAPACITY) return NO_SLOT;
  g_table[g_count] = {p, release};
  return g_count++;
}

}  // namespace held_ref_detail

// How many entries are listed now: take it before dispatching a message.
inline uint32_t held_ref_depth() { return held_ref_detail::g_count; }

// Gives back every entry listed above depth, the latest first.
inline void release_held_refs(uint32_t depth) {
  using namespace held_ref_detail;
  // Unlisted before the release: a final release may run code that holds anew.
  while (g_count > depth) {
    const Entry e = g_table[--g_count];
    if (e.p) e.release(e.p);
  }
}

// One listed entry of a frame; the value lives in the table itself, so that
// what a callee writes through put() is listed before the callee returns.
template <typename V>
class HeldSlot {
 public:
  HeldSlot(const HeldSlot&) = delete;
  HeldSlot& operator=(const HeldSlot&) = delete;

 protected:
  HeldSlot(V value, held_ref_detail::ReleaseFn release)
      : slot_(held_ref_detail::list(value, release)), own_(value), release_(release) {}
  // Listed: also gives back what frames left listed after it (an exception
  // caught further in).
  ~HeldSlot() {
    if (slot_ != held_ref_detail::NO_SLOT)
      release_held_refs(slot_);
    else if (own_)
      release_(own_);
  }
  V* address() {
    return slot_ == held_ref_detail::NO_SLOT ? &own_
                                             : reinterpret_cast<V*>(&held_ref_detail::g_table[slot_].p);
  }
  V value() const {
    return slot_ == held_ref_detail::NO_SLOT ? own_ : static_cast<V>(held_ref_detail::g_table[slot_].p);
  }
  void replace(V value) {
    V old = this->value();
    *address() = value;
    if (old) release_(old);
  }
  // Hands the value on unlisted; the frame no longer gives it back.
  V take() {
    V old = value();
    *address() = nullptr;
    return old;
  }

 private:
  uint32_t slot_;
  V own_;  // only when the table was full
  held_ref_detail::ReleaseFn release_;
};

struct AdoptHold {};
constexpr AdoptHold ADOPT_HOLD{};
struct QueryHold {};
constexpr QueryHold QUERY_HOLD{};

// A COM reference held by a frame across calls into the control.
template <typename T>
class HeldRef : public HeldSlot<void*> {
 public:
  HeldRef() : HeldSlot(nullptr, held_ref_detail::release_unknown) {}
  explicit HeldRef(T* p) : HeldSlot(p, held_ref_detail::release_unknown) {
    if (p) p->AddRef();
  }
  // Takes over a reference the caller already has, e.g. from QueryInterface.
  HeldRef(T* p, AdoptHold) : HeldSlot(p, held_ref_detail::release_unknown) {}
  // The source's interface T; null when it has none (or no source).
  HeldRef(QueryHold, IUnknown* source) : HeldRef() {
    void** out = reinterpret_cast<void**>(put());
    // What a failed call leaves in its out pointer is not ours to release.
    if (source && FAILED(source->QueryInterface(__uuidof(T), out))) *out = nullptr;
  }

  T* get() const { return static_cast<T*>(value()); }
  T* operator->() const { return get(); }
  explicit operator bool() const { return get() != nullptr; }

  // For out-parameters: gives back what is held, then hands out the slot.
  T** put() {
    reset();
    return reinterpret_cast<T**>(address());
  }
  void reset() { replace(nullptr); }
  // Hands the reference on, e.g. to an owner that outlives the frame.
  T* detach() { return static_cast<T*>(take()); }

  // The object's interface U, held by this frame; null when it has none.
  template <typename U>
  HeldRef<U> try_query() const {
    return HeldRef<U>(QUERY_HOLD, get());
  }
};

// A BSTR held by a frame across a call into the control.
class HeldBstr : public HeldSlot<void*> {
 public:
  HeldBstr() : HeldSlot(nullptr, held_ref_detail::free_bstr) {}
  explicit HeldBstr(const wchar_t* text)
      : HeldSlot(SysAllocString(text), held_ref_detail::free_bstr) {}

  BSTR get() const { return static_cast<BSTR>(value()); }
  // For out parameters; frees what was held.
  BSTR* put() {
    replace(nullptr);
    return reinterpret_cast<BSTR*>(address());
  }
};

// A memory block held by a frame across a call into the control: one the
// control hands back (CoTaskMemFree) or one we hand it (free).
template <typename T, held_ref_detail::ReleaseFn Free>
class HeldBlock : public HeldSlot<void*> {
 public:
  HeldBlock() : HeldSlot(nullptr, Free) {}
  explicit HeldBlock(T* block) : HeldSlot(block, Free) {}

  T* get() const { return static_cast<T*>(value()); }
  // For out parameters; frees what was held.
  T** put() {
    replace(nullptr);
    return reinterpret_cast<T**>(address());
  }
};

template <typename T>
using HeldCoTaskMem = HeldBlock<T, held_ref_detail::free_co_task_mem>;
template <typename T>
using HeldMalloc = HeldBlock<T, held_ref_detail::free_malloc>;

// A COM reference owned by an object that outlives one message; never listed.
template <typename T>
class OwnedRef {
 public:
  OwnedRef() = default;
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  ~OwnedRef() { reset(); }

  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  T** put() {
    reset();
    return &p_;
  }
  // Takes over a reference the caller has.
  void attach(T* p) {
    reset();
    p_ = p;
  }
  // Cleared before the release: a final release may reach this owner again.
  void reset() {
    if (T* p = p_) {
      p_ = nullptr;
      p->Release();
    }
  }

 private:
  T* p_ = nullptr;
};

}  // namespace base::win
