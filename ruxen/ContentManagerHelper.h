// One content mapper per mapper type for the whole process, shared by every
// per-file object of it: made with its default constructor on first use and
// kept until the process ends (never deleted while it runs).
#pragma once

template <class T>
class ContentManagerHelper {
public:
    static T* getMapper() {
        if (!s_mapper)
            s_mapper = new T();
        return s_mapper;
    }
    // Test-only: the next getMapper makes a fresh instance. No per-file
    // object may still hold the old one.
    static void resetForTest() {
        delete s_mapper;
        s_mapper = nullptr;
    }

private:
    static inline T* s_mapper = nullptr;
};
