#pragma once

#include <cstdint>

namespace Sockora {

// A doubly linked list whose members carry their own node (T::m_node of type
// CIntrusiveList<T>::Node), so a member leaves whichever list holds it in constant time.
// Not thread-safe: the owner guards it with its own lock.
template <typename T>
class CIntrusiveList {
 public:
  struct Node {
    T* next = nullptr;
    T* previous = nullptr;
    CIntrusiveList* list = nullptr;
  };

  CIntrusiveList() = default;
  CIntrusiveList(const CIntrusiveList&) = delete;
  CIntrusiveList& operator=(const CIntrusiveList&) = delete;

  void PushFront(T* member) {
    Node& node = member->m_node;
    node.list = this;
    node.previous = nullptr;
    node.next = m_head;
    if (m_head != nullptr) m_head->m_node.previous = member;
    m_head = member;
    ++m_count;
  }

  // The head, unlinked; nullptr when empty.
  T* PopFront() {
    T* head = m_head;
    if (head != nullptr) Remove(head);
    return head;
  }

  // Precondition: `member` is in this list.
  void Remove(T* member) {
    Node& node = member->m_node;
    if (m_head == member) m_head = node.next;
    if (node.previous != nullptr) node.previous->m_node.next = node.next;
    if (node.next != nullptr) node.next->m_node.previous = node.previous;
    node = Node{};
    --m_count;
  }

  T* Head() const { return m_head; }
  static T* Next(const T* member) { return member->m_node.next; }
  bool Empty() const { return m_head == nullptr; }
  std::uint32_t Count() const { return m_count; }

 private:
  T* m_head = nullptr;
  std::uint32_t m_count = 0;
};

}  // namespace Sockora
