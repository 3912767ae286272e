// A doubly linked list threaded through two pointer members of its elements,
// so that an element can be unlinked or moved to the back in constant time.
// The list does not own its elements.
#pragma once

#include <cstddef>

template <typename T, T* T::*Prev, T* T::*Next>
class IntrusiveList {
public:
    T* front() const { return head_; }
    T* back() const { return tail_; }
    bool empty() const { return head_ == nullptr; }
    size_t size() const { return size_; }
    static T* next(const T* n) { return n->*Next; }

    void push_back(T* n) {
        n->*Prev = tail_;
        n->*Next = nullptr;
        if (tail_) {
            tail_->*Next = n;
        } else {
            head_ = n;
        }
        tail_ = n;
        ++size_;
    }

    void erase(T* n) {
        if (n->*Prev) {
            (n->*Prev)->*Next = n->*Next;
        } else {
            head_ = n->*Next;
        }
        if (n->*Next) {
            (n->*Next)->*Prev = n->*Prev;
        } else {
            tail_ = n->*Prev;
        }
        n->*Prev = nullptr;
        n->*Next = nullptr;
        --size_;
    }

    void move_to_back(T* n) {
        if (tail_ == n) return;
        erase(n);
        push_back(n);
    }

    // Forgets every element without touching them.
    void reset() {
        head_ = tail_ = nullptr;
        size_ = 0;
    }

private:
    T* head_ = nullptr;
    T* tail_ = nullptr;
    size_t size_ = 0;
};
