// One content mapper per mapper type for the whole process, shared by every
// per-file object of it: made with its default constructor on first use and
// kept until the process ends (never destroyed).
#pragma once

#include <new>

#include "platform/base/NoDestructor.h"
#include "platform/base/TestControl.h"

template <class T>
class ContentManagerHelper {
public:
    static T* getMapper() { return Mapper().get(); }

private:
    friend void ruxen::testcontrol::ResetContentMappers();

    static ruxen::NoDestructor<T>& Mapper() {
        static ruxen::NoDestructor<T> mapper;
        static const ruxen::testcontrol::Registration reset("content mapper", &Renew);
        return mapper;
    }
    // A fresh mapper in place of the one held, at the same address, so that
    // no per-file object is left holding a destroyed one.
    static void Renew() {
        T* m = Mapper().get();
        m->~T();
        new (m) T();
    }
};
