// The path-mapping interface of snapshot and proxy jobs, and the plain mapper
// of proxy jobs.
//
// A proxy path is the path as recorded (collect files, the index); a host
// path is the local path the data is read from. The map `mProxyToHostMap`
// holds recorded path -> local path; an empty local path means the recorded
// path is mounted at "/".
//
// Mapping rules of this class (derived mappers may override them):
// - recorded -> local: the key that covers the path on whole components with
//   the longest match wins; the result is its local path joined with the
//   rest of the path below the key.
// - local -> recorded: the same over the local paths (the values); of two
//   recorded paths mounted at the same local path the greater key wins.
//   Both directions walk the path's ancestors through a map (the reverse map
//   local -> recorded is kept beside mProxyToHostMap), so a look-up costs the
//   path's depth, not the number of pairs.
// - A disabled mapper maps every path to itself.
// - An enabled mapper that finds no covering entry answers -1 and hands back
//   the input unchanged, so that a caller that ignores the code reads nothing
//   wrong.
// - A result that does not fit a char buffer is an error (-1, errno
//   ENAMETOOLONG) with the buffer emptied, never a cut path. The char-buffer
//   forms accept the input and output being the same buffer.
#pragma once

#include <list>
#include <map>
#include <string>

#include "platform/base/Export.h"

struct ApplicationId;

class RUXEN_EXPORT ContentMapper {
public:
    ContentMapper();
    virtual ~ContentMapper();

    // Stores the application id string ("zonark:application") and enables the
    // mapper when it holds entries. The entries are those given (by
    // SetProxyToHostMap or SetSourceToLocalMap) since the last initialize: a
    // shared mapper initialised again for another job without new pairs
    // drops the old ones. A mapper with nothing to map is disabled and
    // answers false: the job is then not a proxy job, and its paths are used
    // as they are.
    virtual bool initialize(const char* appIdString);

    virtual int MakeProxyPathFromHostPath(const char* hostPath, char* out, int size);
    virtual int MakeHostPathFromProxyPath(const char* proxyPath, char* out, int size);
    virtual int MakeProxyPathFromHostPath(const std::string& hostPath, std::string& out);
    virtual int MakeHostPathFromProxyPath(const std::string& proxyPath, std::string& out);

    virtual void SetSourceToLocalMap(const std::map<std::string, std::string>& map) {
        mProxyToHostMap = map;
        mPairsGiven = true;
        RebuildReverseMap();
    }
    virtual const std::map<std::string, std::string>& GetSourceToLocalMap() const { return mProxyToHostMap; }

    // Replaces the map by pairs given one per string as
    // "<recorded path><TAB><local path>" (split at the first TAB; a trailing
    // CR/LF is ignored; trailing slashes of both paths are dropped; an empty
    // local path means "/"). Enables the mapper and answers 0. A null list, a
    // string without a TAB or with an empty recorded path, or a recorded path
    // given twice with different local paths rejects the whole list: -1, the
    // map and the enabled flag stay as they were.
    virtual int SetProxyToHostMap(std::list<std::string>* pairs);

    // Appends the local paths whose directory changes the job follows: every
    // local path of the map, in key order. 0, or -1 for a null list.
    virtual int GetHostPathsForDirChange(std::list<std::string>* out);
    // Append the local paths (values; "/" for an empty one) or the recorded
    // paths (keys) of the map in key order. 0, or -1 for a null list.
    virtual int GetHostPathList(std::list<std::string>* out);
    virtual int GetProxyPathList(std::list<std::string>* out);

    virtual bool IsEnabled() { return mEnabled; }

    // The entry that covers a local path (longest value, as for mapping):
    // 0 with host = its local path and proxy = its recorded path (both as
    // stored), or -1 with both emptied.
    virtual int GetHostAndProxyFromHostPath(std::string hostPath, std::string& host, std::string& proxy);
    // The same for a recorded path, over the keys.
    virtual int GetHostAndProxyFromProxyPath(std::string proxyPath, std::string& host, std::string& proxy);

    // This class takes its pairs from SetProxyToHostMap, not from the
    // application's settings: it answers whether it holds pairs (enabling the
    // mapper when it does); false for a null application.
    virtual bool initProxyHostAppType(ApplicationId* app);

    // Reads one line from `fd` into `buf` of `size` bytes, with its line feed
    // (so that an empty line, 1, differs from the end of input, 0). Answers
    // the number of bytes stored, 0 at end of input, or -1: errno EINVAL for a
    // null buffer, a size below 1 or a line holding a NUL byte, ENAMETOOLONG
    // for a line that does not fit in size - 1 bytes, or the read error. A
    // refused line is consumed through its line feed and the buffer left
    // empty. The buffer is always NUL-terminated when size >= 1.
    virtual int ProxyReadLine(int fd, char* buf, int size);
    // Removes every trailing CR and LF.
    virtual void ProxyStripEOL(std::string& line);

    void setZonarkId(int id) { mZonarkId = id; }
    void setClientId(int id) { mClientId = id; }
    int ZonarkId() const { return mZonarkId; }
    int ClientId() const { return mClientId; }

    const std::string& AppIdString() const { return mAppIdString; }
    // The reason of the last failed mapping ("" before any failure).
    const std::string& LastError() const { return mLastError; }

protected:
    // The mapping itself, shared by the char-buffer and string forms. Answer 0
    // and set `out`, or -1 with `out` = `in` and mLastError set.
    RUXEN_HIDDEN int MapProxyToHost(const std::string& in, std::string& out);
    RUXEN_HIDDEN int MapHostToProxy(const std::string& in, std::string& out);

    // The entry of mProxyToHostMap whose local path covers `hostPath` with
    // the longest match, or end().
    RUXEN_HIDDEN std::map<std::string, std::string>::const_iterator FindByHostPath(const std::string& hostPath);
    // A mapper that changes mProxyToHostMap itself calls this when done (the
    // setters of this class do; exported, since one of them is inline). As a
    // guard, a look-up also rebuilds the reverse map when the pair count
    // changed since it was built.
    void RebuildReverseMap();

    std::map<std::string, std::string> mProxyToHostMap;  // recorded -> local
    bool mEnabled = false;
    bool mPairsGiven = false;  // pairs were set since the last initialize
    int mZonarkId = 0;
    int mClientId = 0;
    char mContentDelimiter = '\t';  // separates the two paths of a pair string
    std::string mAppIdString;
    std::string mLastError;

private:
    RUXEN_HIDDEN int CopyOut(int rc, const std::string& result, char* out, int size);

    // local path (trailing slashes removed, "/" for an empty one) -> recorded
    std::map<std::string, std::string> mHostToProxyMap;
    size_t mReverseBuiltFor = 0;  // pair count the reverse map was built from
};
