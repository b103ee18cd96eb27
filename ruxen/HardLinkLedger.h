// What a stream of a hard-link job sent of hard-link groups, so that the
// job can tell at its end which members name a group whose data is in no
// stream. A member of a group goes out without data, naming the group's
// phony name; the data goes once, from the hard-link collect file that holds
// the group. Whether that data reached an archive is known only when every
// stream has ended: its hard-link collect file may have been left out of the
// job, failed, or been held by a stream that was killed, and the line of the
// group may have failed (its path vanished or changed).
//
// Each stream writes one record per such item, as the item's end-of-item
// record goes out, to an unnamed temporary file that the job made before
// the stream started (a child inherits it): one write each, so that a
// stream killed at any point leaves every record before the kill whole.
//
//   "G\t<collect number>\t<phony name>\n"                 a group's data
//   "M\t<collect number>\t<phony name>\t<escaped path>\n"  a member
//
// At the end the job reads every stream's records: a group's data counts
// when its collect file was finished (its stream flushed it to the archive
// before asking for the next); every member of a group without data that
// counts is a failed item, listed in its stream's failures and results
// files, and its collect file is not wholly backed up.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/base/ScopedFd.h"

class HardLinkLedger {
public:
    // A member whose group's data is in no stream.
    struct LostMember {
        int32_t collect;
        std::string name;  // escaped as collect files escape paths
    };

    // Makes the temporary file ($TMPDIR, else /tmp; unnamed where the file
    // system allows). False with errno.
    bool Create();

    // ---- the stream's side
    void SetCollect(int32_t n) { m_collect = n; }
    void GroupDataSent(const std::string& phonyName);
    void MemberSent(const std::string& phonyName, const std::string& recordedPath);
    // A record could not be written (its errno), 0 none.
    int WriteError() const { return m_writeError; }

    // ---- the job's side, once every stream has ended. The members, per
    // ledger, whose group's data no record of a `delivered` collect file
    // holds. False with the reason in `error` when a ledger cannot be read.
    static bool FindLostMembers(const std::vector<HardLinkLedger*>& ledgers,
                                const std::function<bool(int32_t collect)>& delivered,
                                std::vector<std::vector<LostMember>>& lost, std::string& error);

    // Where the stream that wrote this ledger lists its failed items ("" none).
    std::string failuresPath, resultsPath;

private:
    void Append(char kind, const std::string& phonyName, const std::string* path);
    // Calls `fn(kind, collect, phony, rest)` for each whole record.
    bool ForEachRecord(const std::function<void(char, int32_t, const std::string&, const std::string&)>& fn,
                       std::string& error) const;

    ScopedFd m_fd;
    int32_t m_collect = 0;
    int m_writeError = 0;
    std::string m_record;
};
