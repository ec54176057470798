// Counting replacements of the allocation functions, linked into varnek-alloc,
// a copy of the tool. At exit it prints one line on the standard error stream:
//
//   varnek-alloc: new 12 malloc 31
//
// "new" counts calls of the global operator new (all forms), "malloc" calls of
// malloc, calloc and realloc, also those made inside the C library (fopen,
// stdio buffers). The operator new replacements take their memory from the C
// library's allocator directly, so the two counts do not overlap.
//
// With VARNEK_ALLOC_NEW_ONLY (sanitizer builds, which bring their own malloc)
// only operator new is counted and the malloc count is printed as 0.
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <unistd.h>

#if !defined(VARNEK_ALLOC_NEW_ONLY) && !defined(__GLIBC__)
#define VARNEK_ALLOC_NEW_ONLY 1
#endif

namespace {

// Zero-initialised before any code runs; the program has one thread.
unsigned long long new_calls = 0;
unsigned long long malloc_calls = 0;

}  // namespace

#ifndef VARNEK_ALLOC_NEW_ONLY
// The C library's own allocator, under the names it exports for replacements
// of malloc to build on.
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);

void* malloc(size_t size) {
    ++malloc_calls;
    return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
    ++malloc_calls;
    return __libc_calloc(count, size);
}
void* realloc(void* p, size_t size) {
    ++malloc_calls;
    return __libc_realloc(p, size);
}
void free(void* p) { __libc_free(p); }
}

static void* raw_alloc(size_t size) { return __libc_malloc(size); }
static void raw_free(void* p) { __libc_free(p); }
#else
static void* raw_alloc(size_t size) { return std::malloc(size); }
static void raw_free(void* p) { std::free(p); }
#endif

namespace {

void* counted_new(size_t size) {
    ++new_calls;
    void* p = raw_alloc(size ? size : 1);
    if (!p) throw std::bad_alloc();
    return p;
}

void* counted_new_aligned(size_t size, std::align_val_t align) {
    ++new_calls;
    size_t a = static_cast<size_t>(align);
    if (a < sizeof(void*)) a = sizeof(void*);
    void* p = nullptr;
    // posix_memalign is not replaced: it takes its memory from the same
    // allocator that free hands it back to.
    if (posix_memalign(&p, a, size ? size : 1) != 0) throw std::bad_alloc();
    return p;
}

void report() {
    char line[96];
    int n = std::snprintf(line, sizeof line, "varnek-alloc: new %llu malloc %llu\n", new_calls, malloc_calls);
    if (n > 0) {
        ssize_t ignored = write(2, line, static_cast<size_t>(n));
        (void)ignored;
    }
}

// Registered before the program's static objects exist, so it runs after
// all other exit handlers and destructors.
__attribute__((constructor(101))) void register_report() { std::atexit(report); }

}  // namespace

void* operator new(size_t size) { return counted_new(size); }
void* operator new[](size_t size) { return counted_new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    try {
        return counted_new(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    try {
        return counted_new(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new(size_t size, std::align_val_t align) { return counted_new_aligned(size, align); }
void* operator new[](size_t size, std::align_val_t align) { return counted_new_aligned(size, align); }
void* operator new(size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
    try {
        return counted_new_aligned(size, align);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
    try {
        return counted_new_aligned(size, align);
    } catch (...) {
        return nullptr;
    }
}

void operator delete(void* p) noexcept { raw_free(p); }
void operator delete[](void* p) noexcept { raw_free(p); }
void operator delete(void* p, size_t) noexcept { raw_free(p); }
void operator delete[](void* p, size_t) noexcept { raw_free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { raw_free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { raw_free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
