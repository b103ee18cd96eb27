// The in-house critical section: a recursive mutex (the same thread may enter
// again) with a scoped lock. It is the one lock type of the library; the
// tiered-storage context guards its path map with it.
#pragma once

#include <boost/interprocess/sync/interprocess_recursive_mutex.hpp>

class KxCriticalSection {
public:
    // Throws std::runtime_error with the text
    // "Not enough memory to initialize KxCriticalSection" when the mutex
    // cannot be set up.
    KxCriticalSection();
    ~KxCriticalSection();

    KxCriticalSection(const KxCriticalSection&) = delete;
    KxCriticalSection& operator=(const KxCriticalSection&) = delete;

    void Enter();
    void Leave();
    // Enters when no other thread holds the section; answers whether it did.
    bool TryEnter();

    // Holds the section for the life of the object.
    class Lock {
    public:
        explicit Lock(KxCriticalSection& cs) : m_cs(cs) { m_cs.Enter(); }
        ~Lock() { m_cs.Leave(); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        KxCriticalSection& m_cs;
    };

private:
    boost::interprocess::interprocess_recursive_mutex* m_mutex;
};
