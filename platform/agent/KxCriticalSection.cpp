#include "platform/agent/KxCriticalSection.h"

#include <new>
#include <stdexcept>

#include <boost/interprocess/exceptions.hpp>

KxCriticalSection::KxCriticalSection() : m_mutex(nullptr) {
    try {
        m_mutex = new boost::interprocess::interprocess_recursive_mutex();
    } catch (const boost::interprocess::interprocess_exception&) {
        throw std::runtime_error("Not enough memory to initialize KxCriticalSection");
    } catch (const std::bad_alloc&) {
        throw std::runtime_error("Not enough memory to initialize KxCriticalSection");
    }
}

KxCriticalSection::~KxCriticalSection() { delete m_mutex; }

void KxCriticalSection::Enter() { m_mutex->lock(); }

void KxCriticalSection::Leave() { m_mutex->unlock(); }

bool KxCriticalSection::TryEnter() { return m_mutex->try_lock(); }
