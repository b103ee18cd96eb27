// The database path translator: which files make up a database snapshot job
// and where their snapshot copies are mounted.
//
// Stand-in: a job's database files come from the fixture file
// "<sSnapFixtureDir>/<job id>.dbfiles" (one "<id><TAB><source path><TAB><log
// 0|1>" a line; docs/ARCHITECTURE.md). Translation replaces the longest
// whole-component volume source that holds a file with that volume's
// snapshot mount. Each path function and element list records its name in
// LastTranslation(), so that the choice by application type can be seen.
//
// The browse index of a job's database files (updateBrowsableIndex) is the
// file "<sSnapFixtureDir>/<job id>.dbbrowse", replaced whole through a
// temporary name, TAB-separated:
//
//     job   <job id> <job token> <backup level>
//     file  <id> <source path> <mount path> <log 0|1>     one per database file
//
// The directory-change file gets each database file's source path (the
// path under which it is browsed) once, escaped as collect files escape
// paths, a line each (appendBrowsablePathToDirChange).
#pragma once

#include <cstdio>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "platform/agent/KXBkpLevel.h"
#include "platform/base/CTyError.h"
#include "platform/snapshot/SMVolSnapInfo.h"

// One database file of the job.
struct DBFileSnapshotEntity {
    std::string srcPath;
    std::string second;
    std::string mountPath;  // filled by the translation
    unsigned long long id = 0;
};

// A path function: the mount path of one source path.
typedef CTyError (*DBTranslatePathFn)(const std::string& srcPath, const SMVolSnapInfo& info, std::string& mountPath);

// Element lists translate the files of one kind of database.
class DBElementList {
public:
    virtual ~DBElementList() = default;
    virtual const char* name() const = 0;
    virtual CTyError translate(const std::string& srcPath, const SMVolSnapInfo& info, std::string& mountPath) const;
};
class SybaseDBElementList : public DBElementList {
public:
    const char* name() const override { return "SybaseDBElementList"; }
};
class MySqlDBElementList : public DBElementList {
public:
    const char* name() const override { return "MySqlDBElementList"; }
};
class PostGreSqlDBElementList : public DBElementList {
public:
    const char* name() const override { return "PostGreSqlDBElementList"; }
};

class KXJobCtrlClient;

class OraElement {
public:
    static CTyError translatePath(const std::string& srcPath, const SMVolSnapInfo& info, std::string& mountPath);
};

class DBPathTranslator {
public:
    DBPathTranslator(bool, unsigned zonarkId, unsigned long appType, unsigned long long jobId,
                     const std::string& hostName, const std::string& secondHostName, unsigned long appId);

    // Reads the job's database files: 0, or non-zero when they cannot be had.
    int getArchiveFileIdsFromIndexForAJob();
    // Fills each file's mount path; an error when a file lies on no volume
    // (the records then keep no mount paths).
    CTyError translateSrcPathIntoMountPath(const SMVolSnapInfo& info, DBTranslatePathFn fn);
    CTyError translateSrcPathIntoMountPath(const SMVolSnapInfo& info, const DBElementList& list);

    // Makes the translated files browsable in the index under their source
    // paths, for the job of `jobToken` (the job-control client's token when
    // empty) at `level`. 0, or an errno value (logged): nothing translated
    // (EINVAL), no job token or a field that a line cannot hold (EINVAL),
    // the job told to stop (ECANCELED, nothing written), the file not
    // written (the index keeps what it had).
    int updateBrowsableIndex(KXJobCtrlClient* jobCtrl, KXBkpLevel& level, const std::string& jobToken);
    // Appends the translated files' source paths to the directory-change
    // file, each once. 0, or an errno value (logged): no file or nothing
    // translated (EINVAL), a write that failed.
    int appendBrowsablePathToDirChange(FILE* file);

    const std::list<DBFileSnapshotEntity>& records() const { return m_records; }
    bool checkIfLogEntity(unsigned long long id) const;

    // The translation every path function and element list performs.
    static CTyError TranslateByVolumes(const std::string& srcPath, const SMVolSnapInfo& info, std::string& mountPath);
    // The name of the path function or element list used last ("" before any).
    static std::string& LastTranslation();

private:
    template <class F>
    CTyError translateAll(F translate);
    // Whether every file has its mount path (and there is one).
    bool translated() const;

    std::list<DBFileSnapshotEntity> m_records;
    std::map<unsigned long long, bool> m_logEntities;
    unsigned m_zonarkId;
    unsigned long m_appType;
    unsigned long long m_jobId;
    std::string m_hostName;
    std::string m_secondHostName;
    unsigned long m_appId;
};

// Splits a host name given as "<host>*<second host>" ("*" absent: no second).
void DemangleHostName(const std::string& mangled, std::string& hostName, std::string& secondHostName);
