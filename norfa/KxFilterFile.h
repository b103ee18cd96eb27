// The parser of the scan program's filter file (format: FilterKeyWords.h).
//
// Two forms share the keyword table and the item classification: the file
// form reads a FILE* into LINK_LIST nodes (FilterParamBlock), the stream form
// reads an input stream into lists of ListElement_n (FilterParamBlock_s) and
// first expands each item's monikers. Items of PRUNEDIRS and NONAMES are
// mapped from recorded to local paths when a content mapper is set; a
// mapping that fails leaves the item as written.
//
// Lines are read with a one-line push-back (the parser never seeks), so a
// pipe works. A line longer than the form allows fails the parse where its
// bound is reached, the rest left unread (never a cut item: a cut exclusion
// would leave out more than was asked). The file form drops carriage
// returns and ends at a byte 26 (Ctrl-Z); a last line without a line feed
// is a line in both forms.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "norfa/FilterKeyWords.h"
#include "norfa/FilterParamBlock.h"
#include "platform/base/CTyError.h"
#include "platform/base/Export.h"

class ContentMapper;
class EvEvent;

class RUXEN_EXPORT KxFilterFile {
public:
    KxFilterFile();
    ~KxFilterFile();
    KxFilterFile(const KxFilterFile&) = delete;
    KxFilterFile& operator=(const KxFilterFile&) = delete;

    void SetEventObject(EvEvent* event) { m_event = event; }
    void SetProxyHostObject(ContentMapper* mapper) { m_mapper = mapper; }

    // kFilterParsedToEnd when the file was read up to END, else
    // kFilterParseFailed (the lists keep what was read).
    int ParseFilterFile(FilterParamBlock* block);
    int ParseFilterFile(FilterParamBlock_s* block);

    // One line of a file into `buffer` of `size` bytes, with its line feed
    // when it had one, by the file form's rules. 0 for a line, -1 for none,
    // -2 for a line that does not fit (it is consumed).
    int ReadLine(char* buffer, int size, FILE* file);

    // 1 and the keyword's code for a keyword line, else 0 (code unchanged).
    int CheckIfkeyWordToken(const std::string& line, int64_t& code);

    // Reads the items of the section `code` up to the next keyword line
    // (left for the caller) or the end. 0, or kFilterParseFailed when a line
    // is too long.
    int ReadFilterItemsIntoList(FilterParamBlock* block, int64_t code);
    int ReadFilterItemsIntoList(FilterParamBlock_s* block, int64_t code);

    // kFilterItemWildcard, kFilterItemDirectory or kFilterItemFile (also for
    // a path that cannot be looked up, except "/"). A leading backslash is
    // turned into "/" in the item itself.
    int IdentifyFilterItem(std::string& item);

    // Appends the item to `out`, or, for SCDIRNAMES, PRUNEDIRS and
    // NOPRUNEDIRS items whose monikers expand, replaces `out` by the
    // expansion. On an error `out` holds at least the item.
    CTyError ExpandWKFItem(const std::string& item, int64_t code, std::vector<std::string>& out);

    void CheckString(char*) {}

private:
    class LineSource;
    template <class Block>
    RUXEN_HIDDEN int Parse(Block* block, size_t topLimit);
    template <class Block, class Stream>
    RUXEN_HIDDEN int ParseFrom(Block* block, Stream* stream, size_t topLimit);
    template <class Block>
    RUXEN_HIDDEN int ReadItems(Block* block, int64_t code, size_t limit);
    RUXEN_HIDDEN void AddItem(FilterParamBlock* block, int64_t code, std::string item);
    RUXEN_HIDDEN void AddItem(FilterParamBlock_s* block, int64_t code, const std::string& item);
    RUXEN_HIDDEN LineSource& SourceFor(FILE* file);
    RUXEN_HIDDEN LineSource& SourceFor(std::istream* in);

    EvEvent* m_event = nullptr;
    ContentMapper* m_mapper = nullptr;
    std::unique_ptr<LineSource> m_source;
};

// Adds `path` to the inclusion list of directories when it holds the text
// of an SCDIRNAMES item and of no SCNODIRS item; answers whether it did.
RUXEN_EXPORT bool checkVmAndAddPath(FilterParamBlock* block, const char* path);
