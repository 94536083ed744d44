#pragma once

#include <QtGlobal>

#include <cstdlib>
#include <memory>
#include <new>

#ifdef Q_OS_UNIX
#include <sys/mman.h>
#endif

// A fixed array that starts as zeros without touching its memory: the system hands out zeroed
// pages only when they are first written, so a buffer an operation never uses costs nothing.
// The pages are asked of the system itself: the C library would hand a large block back from
// its own heap once one such block was freed, and zero it there page by page, so that every
// board a station had served would keep its buffers' worth resident.
template <class T> class ZeroedArray {
public:
    explicit ZeroedArray(std::size_t size) : data_(allocate(size), Free{size}), size_(size) {}

    T &operator[](std::size_t i) { return data_.get()[i]; }
    const T &operator[](std::size_t i) const { return data_.get()[i]; }
    T *data() { return data_.get(); }
    const T *data() const { return data_.get(); }
    std::size_t size() const { return size_; }

private:
    static T *allocate(std::size_t size) {
#ifdef Q_OS_UNIX
        void *pages = ::mmap(nullptr, size * sizeof(T), PROT_READ | PROT_WRITE,
                             MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (pages == MAP_FAILED)
            throw std::bad_alloc();
        return static_cast<T *>(pages);
#else
        T *data = static_cast<T *>(std::calloc(size, sizeof(T)));
        if (!data)
            throw std::bad_alloc();
        return data;
#endif
    }
    struct Free {
        std::size_t size;
        void operator()(T *p) const {
#ifdef Q_OS_UNIX
            ::munmap(p, size * sizeof(T));
#else
            std::free(p);
#endif
        }
    };
    std::unique_ptr<T, Free> data_;
    std::size_t size_;
};
