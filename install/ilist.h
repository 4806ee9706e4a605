// ILIST<T>: the owning, doubly linked list of the install support (installed copies, products,
// instances, component names), with one current position for walking it.
//
// Ownership: the list owns its elements. Append takes an element over (deleting it at once when
// the list cannot hold it); Remove and the destructor delete it. A char element is a text made
// with new char[] and is released with delete[]; any other element is deleted through its
// (virtual) destructor, so a list of a base class may hold derived objects.
//
// Walking: GetFirst sets the position to the first element; GetNext moves it on (from no
// position, to the first element). Both return the element now at the position, null at the
// end. A search (FindIf and the searches of derived lists) walks with the same position but puts
// it back when done, so a caller in the middle of a walk can search without losing its place.
// Removing the element at the position steps the position back, so that the next GetNext
// reaches the element after the removed one.
//
// A list is used by one thread at a time.
#pragma once

#include <new>
#include <type_traits>

namespace tarn::isupport {

template <typename T>
struct INODE {
  explicit INODE(T* element) : data(element) {}
  ~INODE() { Release(); }

  // A node owns its element: copying one would give the element two owners. Assignment takes
  // the element of `other` over (releasing its own) and copies the links.
  INODE(const INODE&) = delete;
  INODE& operator=(const INODE&) = delete;
  INODE& operator=(INODE&& other) noexcept {
    if (this != &other) {
      Release();
      data = other.data;
      next = other.next;
      prev = other.prev;
      other.data = nullptr;
    }
    return *this;
  }

  T* data = nullptr;
  INODE* next = nullptr;
  INODE* prev = nullptr;

 private:
  void Release() {
    if constexpr (std::is_same_v<T, char>) {
      delete[] data;
    } else {
      delete data;
    }
    data = nullptr;
  }
};

template <typename T>
class ILIST {
 public:
  ILIST() = default;
  virtual ~ILIST() { Clear(); }

  ILIST(const ILIST&) = delete;
  ILIST& operator=(const ILIST&) = delete;

  T* GetFirst() {
    current = first;
    return current != nullptr ? current->data : nullptr;
  }
  T* GetNext() {
    current = current != nullptr ? current->next : first;
    return current != nullptr ? current->data : nullptr;
  }
  // The element at the position, or null.
  T* GetCurrent() const { return current != nullptr ? current->data : nullptr; }

  int Count() const { return count; }
  bool IsEmpty() const { return count == 0; }

  // Puts `element` after the last element and owns it. False (the element deleted) for a null
  // element or when no node can be made.
  bool Append(T* element) {
    if (element == nullptr) return false;
    auto* node = new (std::nothrow) INODE<T>(element);
    if (node == nullptr) {
      INODE<T> owner(element);  // releases the element the right way for its type
      return false;
    }
    node->prev = last;
    if (last != nullptr) {
      last->next = node;
    } else {
      first = node;
    }
    last = node;
    ++count;
    return true;
  }

  // Unlinks and deletes `element`. False when the list does not hold it.
  bool Remove(const T* element) {
    for (INODE<T>* node = first; node != nullptr; node = node->next) {
      if (node->data != element) continue;
      if (current == node) current = node->prev;
      if (saved == node) saved = node->prev;
      (node->prev != nullptr ? node->prev->next : first) = node->next;
      (node->next != nullptr ? node->next->prev : last) = node->prev;
      delete node;
      --count;
      return true;
    }
    return false;
  }

  // Deletes every element.
  void Clear() {
    while (first != nullptr) {
      INODE<T>* node = first;
      first = node->next;
      delete node;
    }
    first = current = last = saved = nullptr;
    count = 0;
  }

  // The first element for which `match(T*)` holds, or null. The position is kept (a search
  // made from inside `match` keeps it too).
  template <typename Match>
  T* FindIf(Match match) {
    INODE<T>* const position = current;
    saved = position;
    T* found = nullptr;
    for (T* element = GetFirst(); element != nullptr; element = GetNext()) {
      if (match(element)) {
        found = element;
        break;
      }
    }
    current = saved = position;
    return found;
  }

 protected:
  INODE<T>* first = nullptr;
  INODE<T>* current = nullptr;
  INODE<T>* last = nullptr;
  INODE<T>* saved = nullptr;
  int count = 0;
};

}  // namespace tarn::isupport
