// IUnknown written once. A COM object derives from
// Unknown<Self, Count, Table, Interfaces...>: it inherits the interfaces, and
// QueryInterface, AddRef and Release come from the table of the ids it
// answers and from its counting rule.
//
//   using Table = QueryTable<Answer<IMoniker, IID_IUnknown, IID_IMoniker>,
//                            Answer<IBinding, IID_IBinding>>;
//   class Moniker final : public Unknown<Moniker, Counted, Table, IMoniker, IBinding> { ... };
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <new>

namespace base::win {

// One row of a table: the ids that QueryInterface answers with the object's
// Interface part, found by implicit upcast, so a row naming an interface the
// object does not have, or has twice, does not compile.
template <class Interface, const IID&... Ids>
struct Answer {
  template <class Self>
  static bool give(Self* self, REFIID iid, void** out) {
    if (!(IsEqualIID(iid, Ids) || ...)) return false;
    Interface* part = self;
    *out = part;
    return true;
  }
};

// The rows in the order they are tested. No match leaves out null.
template <class... Rows>
struct QueryTable {
  template <class Self>
  static HRESULT query(Self* self, REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    return (Rows::give(self, iid, out) || ...) ? S_OK : E_NOINTERFACE;
  }
};

// For an interface reached only through a getter: it answers no query and
// leaves the out pointer alone.
struct NoQueries {
  template <class Self>
  static HRESULT query(Self*, REFIID, void**) {
    return E_NOTIMPL;
  }
};

// Counted from 1, the creator's reference; each answered query adds one. The
// last Release calls Self::destroy (befriend Counted), which frees the object
// the way it was made.
class Counted {
 protected:
  ULONG add_ref() { return ULONG(InterlockedIncrement(&refs_)); }
  template <class Self>
  ULONG release(Self* self) {
    LONG refs = InterlockedDecrement(&refs_);
    if (refs == 0) self->destroy();
    return refs > 0 ? ULONG(refs) : 0;
  }
  LONG count() const { return refs_; }

 private:
  LONG refs_ = 1;
};

// Not counted: the object lives as long as its owner says; AddRef and Release
// return 1 and change nothing.
class Uncounted {
 protected:
  ULONG add_ref() { return 1; }
  template <class Self>
  ULONG release(Self*) {
    return 1;
  }
};

template <class Self, class Count, class Table, class... Interfaces>
class Unknown : public Interfaces..., public Count {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    HRESULT hr = Table::query(static_cast<Self*>(this), iid, out);
    if (hr == S_OK) this->add_ref();
    return hr;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return this->add_ref(); }
  STDMETHODIMP_(ULONG) Release() override { return this->release(static_cast<Self*>(this)); }
};

// The player's own objects are each one fixed block of the global heap, made
// by placement new. The stub carries no C++ allocator: operator new would
// bring in the library's heap and its failure path, while GlobalAlloc is
// already there and simply gives null, which the caller reports. The block's
// address is the object's, so a pointer posted in a message or kept as a
// window's user data is the block itself.
template <class T, class... Args>
T* new_global(Args... args) {
  void* block = GlobalAlloc(GMEM_FIXED, sizeof(T));
  return block ? new (block) T(args...) : nullptr;
}

template <class T>
void delete_global(T* object) {
  object->~T();
  GlobalFree(object);
}

}  // namespace base::win
