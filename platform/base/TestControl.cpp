#include "platform/base/TestControl.h"

#include <mutex>

#include "platform/base/NoDestructor.h"

namespace ruxen::testcontrol {

namespace {

struct Entry {
    const char* name;
    ResetFunction reset;
};

struct Resets {
    std::mutex lock;
    std::vector<Entry> entries;
};

Resets& TheResets() {
    static NoDestructor<Resets> resets;
    return *resets;
}

}  // namespace

Registration::Registration(const char* name, ResetFunction reset) {
    Resets& r = TheResets();
    std::lock_guard<std::mutex> hold(r.lock);
    r.entries.push_back(Entry{name, reset});
}

// A reset may build a state on first use that registers a reset of its own,
// so the resets run outside the lock, from a copy.
void ResetAll() {
    std::vector<Entry> entries;
    {
        Resets& r = TheResets();
        std::lock_guard<std::mutex> hold(r.lock);
        entries = r.entries;
    }
    for (const Entry& e : entries)
        e.reset();
}

}  // namespace ruxen::testcontrol
