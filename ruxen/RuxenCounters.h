// What a stream's per-file object counts over the pass: items and bytes,
// failed and changed items, and whether its failures and results lists are
// whole. Only grows during the pass; the stream's totals are read from it.
#pragma once

struct RuxenCounters {
    unsigned long long countableItems = 0;  // items whose header was filled (a hard-link group's data not again)
    unsigned long long totalBytes = 0;      // the sizes those headers declare
    unsigned long long itemsSent = 0;       // items closed with a successful end-of-item record
    unsigned long long dataBytesSent = 0;   // bytes of data records
    unsigned long long failedItems = 0;     // failures the error-report filter counted
    unsigned long long changedItems = 0;    // items that changed while they were read
    bool failuresWritten = false;           // a line went to the failures file
    bool failureListWriteFailed = false;    // a failures or results line was lost
    int failuresLostErrno = 0;              // why the first failures line was lost (0: none)
    int resultsLostErrno = 0;               // likewise of the results file
};
