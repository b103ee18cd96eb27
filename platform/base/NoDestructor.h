// The one idiom for process-wide objects that must outlive every other
// static: a function-local
//
//     static ruxen::NoDestructor<Registry> registry;
//     return *registry;
//
// builds the object on first use (thread-safe, as every function-local
// static) and never destroys it, so code that runs from exit paths, other
// statics' destructors or late threads (logging, the registry) still finds
// it alive. Nothing is freed at exit because nothing was allocated.
#pragma once

#include <new>
#include <type_traits>
#include <utility>

namespace ruxen {

template <class T>
class NoDestructor {
public:
    template <class... Args>
    explicit NoDestructor(Args&&... args) {
        new (&m_storage) T(std::forward<Args>(args)...);
    }
    ~NoDestructor() = default;  // the object is deliberately left alive
    NoDestructor(const NoDestructor&) = delete;
    NoDestructor& operator=(const NoDestructor&) = delete;

    T* get() { return std::launder(reinterpret_cast<T*>(&m_storage)); }
    T& operator*() { return *get(); }
    T* operator->() { return get(); }

private:
    typename std::aligned_storage<sizeof(T), alignof(T)>::type m_storage;
};

}  // namespace ruxen
