// The data loop of a stream: every item of a collect file through the
// per-file object, in order, with the results of each step treated as the
// stream requires.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/Export.h"

class CollectLineSource;
class RuxenFile;
struct subclientFiles;

// Told where the stream is: the collect-file offset of each line it has
// taken, once the line's item is opened and before its header goes out.
// Called on the stream's thread, once per line; must be cheap.
class RUXEN_EXPORT CollectPositionListener {
public:
    virtual ~CollectPositionListener() = default;
    virtual void StreamAt(uint64_t collectOffset) = 0;
};

class RUXEN_EXPORT StreamBackupPass {
public:
    enum Result { kCollectDone = 0, kStreamFailed = 2 };

    // `failures` is the stream's failures file (may be null); `files` the
    // job's subclient files (null switches off what needs them: hard links
    // and the directory-change file).
    StreamBackupPass(RuxenFile& file, FILE* failures, subclientFiles* files = nullptr)
        : m_file(file), m_failures(failures), m_files(files) {}

    // Backs up every item of the source. kCollectDone when the collect file
    // was walked to its end, kStreamFailed when the stream must fail.
    Result RunDataLoop(CollectLineSource& source);

    unsigned long long ItemsSeen() const { return m_itemsSeen; }

    // The listener of the next RunDataLoop calls (null: none; not owned).
    void SetPositionListener(CollectPositionListener* listener) { m_listener = listener; }

    // Send each item's file-level properties after its metadata (the
    // subclient's data collection for the resource report).
    void SetSendFLAProps(bool on) { m_flaProps = on; }

private:
    RuxenFile& m_file;
    FILE* m_failures;
    subclientFiles* m_files;
    unsigned long long m_itemsSeen = 0;
    CollectPositionListener* m_listener = nullptr;
    bool m_flaProps = false;
};
