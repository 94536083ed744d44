#pragma once

#include <cstdlib>
#include <memory>
#include <new>

// A fixed array that starts as zeros without touching its memory: the system hands out zeroed
// pages only when they are first written, so a buffer an operation never uses costs nothing.
template <class T> class ZeroedArray {
public:
    explicit ZeroedArray(std::size_t size)
        : data_(static_cast<T *>(std::calloc(size, sizeof(T)))), size_(size) {
        if (!data_)
            throw std::bad_alloc();
    }

    T &operator[](std::size_t i) { return data_.get()[i]; }
    const T &operator[](std::size_t i) const { return data_.get()[i]; }
    T *data() { return data_.get(); }
    const T *data() const { return data_.get(); }
    std::size_t size() const { return size_; }

private:
    struct Free {
        void operator()(T *p) const { std::free(p); }
    };
    std::unique_ptr<T, Free> data_;
    std::size_t size_;
};
