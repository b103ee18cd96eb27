// The data loop of a stream: every item of a collect file through the
// per-file object, in order, with the results of each step treated as the
// stream requires.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/base/Export.h"

class CollectLineSource;
class IndexingConnection;
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
    // kStopped: a stop was asked for (ruxen::StopRequested); the
    // pass ended between two items.
    enum Result { kCollectDone = 0, kStreamFailed = 2, kStopped = 3 };

    // `failures` is the stream's failures file (may be null); `files` the
    // job's subclient files (null switches off what needs them: hard links
    // and the directory-change file).
    StreamBackupPass(RuxenFile& file, FILE* failures, subclientFiles* files = nullptr)
        : m_file(file), m_failures(failures), m_files(files) {}

    // Backs up every item of the source. kCollectDone when the collect file
    // was walked to its end, kStreamFailed when the stream must fail,
    // kStopped when a stop was asked for before its end.
    Result RunDataLoop(CollectLineSource& source);

    // A catalog-only pass: each item's header goes to the indexing
    // connection as its entry, after its metadata pairs; no data, no
    // end-of-item records. The connection must be initialised and its
    // archive file announced.
    Result RunCatalogLoop(CollectLineSource& source, IndexingConnection& connection);

    unsigned long long ItemsSeen() const { return m_itemsSeen; }
    // Index entries the catalog passes sent (deleted items included).
    unsigned long long EntriesSent() const { return m_entriesSent; }
    // The catalog stream's NAS snapshot-difference mode.
    void SetNfsSnapDiff(bool on) { m_nfsSnapDiff = on; }

    // Send each item's file-level properties after its metadata (the
    // subclient's data collection for the resource report).
    void SetSendFLAProps(bool on) { m_flaProps = on; }

    // The listener of the next passes (null: none; not owned).
    void SetPositionListener(CollectPositionListener* listener) { m_listener = listener; }

private:
    enum Step { kStepItem, kStepNext, kStepDone, kStepFail, kStepStop };
    // Opens the next item and fills its header: kStepItem for an item to
    // send, kStepNext when the line is dealt with (a deleted item sent, a
    // failed item reported), kStepDone at the end of the collect file,
    // kStepStop when a stop was asked for (before the next line is taken).
    RUXEN_HIDDEN Step OpenNextItem(CollectLineSource& source, IndexingConnection* connection);
    // The metadata step's answer: kStepNext when the item failed (reported).
    RUXEN_HIDDEN Step AfterMetaData(int result);
    // A deleted item through the deleted-item sender (to the connection in
    // a catalog pass); false when the stream must fail.
    RUXEN_HIDDEN bool SendDeletedItem(IndexingConnection* connection);
    // The collect file is done: false when the failures or results lists
    // lost a line.
    RUXEN_HIDDEN bool ListsComplete(CollectLineSource& source);
    // How a pass ends at a step that is not an item.
    RUXEN_HIDDEN static Result Ended(Step step);

    RuxenFile& m_file;
    FILE* m_failures;
    subclientFiles* m_files;
    unsigned long long m_itemsSeen = 0;
    unsigned long long m_entriesSent = 0;
    bool m_flaProps = false;
    bool m_nfsSnapDiff = false;
    CollectPositionListener* m_listener = nullptr;
};
