// The content mapper of proxy backups whose content entries may end in a
// wildcard ("ProxyHandleWildCardOneLevel").
//
// Each content entry of the subclient is "<recorded><TAB><local>": the path as
// the job records it and the path under which this machine reaches the same
// data. When the local part's last component is a pattern, the local parent
// folder is listed and every matching entry is paired with the same name
// under the recorded parent (one level deep); the two parents are paired too
// unless one of them is "/" (a pair at the root would map every path).
// Mapping then replaces the longest covering pair on whole components, in
// either direction (the base class's rules; names holding '*', '?' or '['
// are ordinary names there).
//
// Pair output: with an output file, every pair made by expansion or given
// literally is written as "<recorded>\x15<local>\n". A listed name or an
// entry holding a line feed or the byte 0x15 is skipped with a log, so a
// line cannot be forged; a failed write fails the set-up.
#pragma once

#include <cstdio>
#include <functional>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "mapping/ContentMapper.h"
#include "platform/base/Export.h"
#include "platform/base/KxTypes.h"

// '*' or '?', or both '[' and ']' in either order.
bool hasWildCard(const std::string& s);

class RUXEN_EXPORT WildCardContentMapper : public ContentMapper {
public:
    // Where the application's type and its subclient's content entries come
    // from (the application registry of the host). applicationType answers 0
    // and the type, or non-zero for an unknown application; subclientContent
    // answers 0 and the entries, -1 when there is no subclient, or another
    // non-zero value when the entries cannot be read.
    struct AppSource {
        std::function<int(const std::string& idString, ULONG& appType)> applicationType;
        std::function<int(const std::string& idString, std::vector<std::string>& entries)> subclientContent;
    };
    // Installs the source for the process. Without one (or after an empty
    // one is installed) the application registry (ApplicationId, Subclient)
    // answers.
    static void SetAppSource(AppSource source);

    // Return codes of CheckIfContentIsWithWildChars.
    enum { kEntryTaken = 0, kOutputFailed = -1, kEntryRejected = -2 };

    WildCardContentMapper();
    // `out` receives the pair lines; not owned, may be null.
    explicit WildCardContentMapper(FILE* out);
    ~WildCardContentMapper() override;

    // Looks the application up; for application types 25, 40 and 87 loads
    // the subclient's content entries (initProxyHostAppTypeForWildCards).
    // Answers whether the mapper is enabled.
    bool initialize(const char* idString) override;
    // Builds the pairs from content entries; true when at least one entry
    // held the delimiter and every pair line was written. On false the
    // mapper keeps its previous pairs.
    virtual bool initProxyHostAppTypeForWildCards(const std::vector<std::string>& entries);

    // Recorded -> local and back. 0 on success. -2 when the mapper is
    // disabled, an argument is null or empty, or no pair covers the path;
    // -1 (errno ENAMETOOLONG) when the result does not fit the buffer. On
    // every failure the output holds the path unchanged when it fits (else
    // it is emptied).
    int MakeProxyPathFromHostPath(const char* hostPath, char* out, int size) override;
    int MakeHostPathFromProxyPath(const char* proxyPath, char* out, int size) override;
    int MakeProxyPathFromHostPath(const std::string& hostPath, std::string& out) override;
    int MakeHostPathFromProxyPath(const std::string& proxyPath, std::string& out) override;

    // The pair whose local (GetPathFromHost) or recorded (GetPathFromProxy)
    // path covers `path`, longest match: 0 with `right` = local and `left` =
    // recorded path, or -1.
    virtual int GetPathFromHost(std::string path, std::string& right, std::string& left);
    virtual int GetPathFromProxy(std::string path, std::string& right, std::string& left);

    // One content entry (already split): adds its pairs to `pairs`. Answers
    // kEntryTaken, kEntryRejected (logged; nothing added) or kOutputFailed.
    int CheckIfContentIsWithWildChars(std::string left, std::string right, std::map<std::string, std::string>& pairs,
                                      bool wildcardMode);

    // Appends folder + "/" + name for every entry of `folder` whose name
    // matches `pattern` ("." and ".." left out). 0, or -1 when the pattern is
    // refused or the folder cannot be opened or read.
    int wcDirnames(const std::string& folder, const std::string& pattern, std::list<std::string>& out);

private:
    // Adds one pair (refusing line feeds and 0x15) and writes its line.
    RUXEN_HIDDEN int AddPair(std::map<std::string, std::string>& pairs, const std::string& left,
                             const std::string& right, bool written);
    RUXEN_HIDDEN int MapOne(bool toHost, const std::string& in, std::string& out);

    FILE* m_out = nullptr;
};
