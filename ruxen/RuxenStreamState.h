// What a stream's per-file object carries from one item to the next and
// changes during the pass: the collect file's directives as last applied,
// and the hard-link group whose lines are going out. Neither the job's
// settings (fixed before the pass) nor any one item's state.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ruxen/CollectFileReader.h"

struct RuxenStreamState {
    // ---- the collect file's directives
    uint64_t directiveGeneration = 0;  // of the set applied last
    std::string documentumSAName;      // the host's, until a collect file names its own (%??DOCSA%)
    bool hbaseIncrementalSnapshot = false;
    std::vector<SalesforceRelation> salesforceRelations;  // sent once per stream, with the first item
    bool salesforceRelationsSent = false;

    // ---- the hard-link group going out
    bool groupHeadPending = false;  // a group began and no line of it has gone out as its head
    std::string groupVersionGuid;   // its head's version GUID (index version 2)
};
