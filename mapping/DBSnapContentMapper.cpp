#include "mapping/DBSnapContentMapper.h"

#include <unistd.h>

#include <cerrno>

#include "platform/agent/ApplicationRegistry.h"
#include "platform/agent/KxLog.h"
#include "platform/snapshot/DBPathTranslator.h"
#include "platform/snapshot/TavSnapUtilDb.h"
#include "platform/text/PathUtil.h"

namespace {

const char* trueFalse(bool b) { return b ? "True" : "False"; }

// The translation of the application type's files; false for a type
// without a translator.
bool translate(unsigned long appType, DBPathTranslator& t, const SMVolSnapInfo& info, CTyError& err) {
    switch (appType) {
    case 5:
        err = t.translateSrcPathIntoMountPath(info, SybaseDBElementList());
        return true;
    case 22:
    case 80:
        err = t.translateSrcPathIntoMountPath(info, &OraElement::translatePath);
        return true;
    case 61:
    case 135:
        err = t.translateSrcPathIntoMountPath(info, &TavSnapUtilDb::translatePath);
        return true;
    case 62:
    case 103:
    case 126:
        err = t.translateSrcPathIntoMountPath(info, &TavSnapUtilDb::sybiqTranslatePath);
        return true;
    case 104:
        err = t.translateSrcPathIntoMountPath(info, MySqlDBElementList());
        return true;
    case 125:
        err = t.translateSrcPathIntoMountPath(info, PostGreSqlDBElementList());
        return true;
    default:
        return false;
    }
}

}  // namespace

DBSnapContentMapper::DBSnapContentMapper() = default;

DBSnapContentMapper::~DBSnapContentMapper() = default;

void DBSnapContentMapper::dropFiles() {
    mFileMap.clear();
    mRecordedToLocal.clear();
    mTranslator.reset();
}

bool DBSnapContentMapper::fail() {
    settle(false);
    dropFiles();
    return false;
}

bool DBSnapContentMapper::initialize(const char* jobId, int zonarkId, int clientId) {
    if (!SameJob(jobId))
        dropFiles();
    return SnapFSContentMapper::initialize(jobId, zonarkId, clientId) || fail();
}

bool DBSnapContentMapper::initialize(const char* jobId, int zonarkId, int clientId, int engineType, bool mount) {
    if (!SameJob(jobId))
        dropFiles();
    return SnapFSContentMapper::initialize(jobId, zonarkId, clientId, engineType, mount) || fail();
}

int DBSnapContentMapper::updateBrowsableIndex(KXJobCtrlClient* jobCtrl, KXBkpLevel& level) {
    if (!mTranslator) {
        KXLOG(-1, "no database files to make browsable: the mapper is not set up");
        return EINVAL;
    }
    return mTranslator->updateBrowsableIndex(jobCtrl, level, mJobToken);
}

int DBSnapContentMapper::appendBrowsablePathToDirChange(FILE* file) {
    if (!mTranslator) {
        KXLOG(-1, "no database files for the directory-change file: the mapper is not set up");
        return EINVAL;
    }
    return mTranslator->appendBrowsablePathToDirChange(file);
}

bool DBSnapContentMapper::initialize(const char* idString, int clientId, int engineType, bool mount,
                                     const unsigned int& zonarkId, const char* hostName, const unsigned long& appId,
                                     const unsigned long& appType, const std::string& jobToken) {
    // Whatever an earlier set-up translated is not this one's: the pairs
    // come back with populateOnDemandFileList.
    dropFiles();
    mJobToken = jobToken;
    const std::string appText = std::to_string(zonarkId) + ":" + std::to_string(appId);
    if (engineType == 0 && (appType == 61 || appType == 135)) {
        ApplicationId app(zonarkId, static_cast<unsigned>(appId));
        app.getAppIdInfo();
        if (app.getApplicationId() != 0) {
            KXLOG(-1, "Function failed to obtain the engine type from the application information <%s> \n",
                  appText.c_str());
            return fail();
        }
        if (Subclient(appId).isCommandLineBackup()) {
            KXLOG(1, "Function <%s> SAP/Oracle CmdLine Backup.", appText.c_str());
            unsigned long engine = 0;
            if (!ApplicationRegistry::instanceEngineType(app, engine)) {
                KXLOG(-1, "Function <%s> has no instance to take the engine type from", appText.c_str());
                return fail();
            }
            engineType = static_cast<int>(engine);
            KXLOG(1, "Function <%s> Engine %lu", appText.c_str(), engine);
        }
    }
    if (!SnapFSContentMapper::initialize(idString, static_cast<int>(zonarkId), clientId, engineType, mount)) {
        KXLOG(-1, "SnapFSContentMapper::initialize failed ");
        return fail();
    }
    std::string host, secondHost;
    DemangleHostName(hostName ? hostName : "", host, secondHost);
    mAppId = appId;
    mAppType = appType;
    mTranslator.reset(new DBPathTranslator(true, zonarkId, appType, static_cast<unsigned long long>(mJobId), host,
                                           secondHost, appId));
    int rc = mTranslator->getArchiveFileIdsFromIndexForAJob();
    if (rc != 0) {
        KXLOG(-1, "Unable to retrieve archive file from index %d", rc);
        return fail();  // what the snapshot mapper loaded is not this job's
    }
    CTyError err;
    if (!translate(appType, *mTranslator, mSnapUtil->volSnapInfo(), err)) {
        KXLOG(-1, "Translator not implemented for AppType %lu", appType);
        return fail();
    }
    if (err.IsError()) {
        KXLOG(-1, "Function failed while translating SrcPathIntoMountPath, error=%s", err.Message().c_str());
        return fail();
    }
    return true;
}

bool DBSnapContentMapper::initialize(const char* idString, int zonarkId, int clientId, int engineType, bool mount,
                                     int appId, unsigned long appType, int mode) {
    if (appType != 22 && appType != 80)
        return initialize(idString, zonarkId, clientId, engineType, mount);
    if (!SameJob(idString))
        dropFiles();
    const bool otherJob = mEnabled && !SameJob(idString);
    if (mEnabled && !otherJob)
        return true;
    setZonarkId(zonarkId);
    setClientId(clientId);
    mEngineType = engineType;
    char hostName[256] = "";
    if (gethostname(hostName, sizeof(hostName) - 1) != 0)
        hostName[0] = '\0';
    std::unique_ptr<TavSnapUtilDb> util(new TavSnapUtilDb(
        engineType, mode, ApplicationId(static_cast<unsigned>(zonarkId), static_cast<unsigned>(appId)), hostName));
    util->setRmanBasedMovementToTape(true);
    util->setZonarkId(zonarkId);
    util->setClientId(clientId);
    mSnapUtil.reset();
    mSnapUtil = std::move(util);
    bool ok = initConsistencyPtMapper(idString, mount, otherJob);
    KXLOG(1, "initConsistencyPtMapper returned: %s", trueFalse(ok));
    return settle(ok) || fail();
}

bool DBSnapContentMapper::populateOnDemandFileList(
    std::list<std::string>& files, std::map<unsigned long long, std::vector<NorfaSnapshotEntity>>& entities) {
    if (!mTranslator || mTranslator->records().empty())
        return false;
    files.clear();
    entities.clear();
    mFileMap.clear();
    mRecordedToLocal.clear();
    for (const DBFileSnapshotEntity& r : mTranslator->records()) {
        files.push_back(r.mountPath);
        entities[r.id].push_back(
            NorfaSnapshotEntity{r.srcPath, r.mountPath, r.id, mTranslator->checkIfLogEntity(r.id)});
        mFileMap[r.mountPath] = r.srcPath;
        KXLOG(2, "add mapping '%s->%s' %llu", r.mountPath.c_str(), r.srcPath.c_str(), r.id);
    }
    for (const auto& kv : mFileMap)
        mRecordedToLocal.emplace(kv.second, kv.first);  // in key order: the first key stays
    return true;
}

int DBSnapContentMapper::MakeProxyPathFromHostPath(const std::string& hostPath, std::string& out) {
    if (hostPath == "/") {
        out = hostPath;
        return 0;
    }
    auto it = mFileMap.find(hostPath);
    if (it == mFileMap.end()) {
        out = hostPath;
        return kMissToRecorded;
    }
    KXLOG(2, "hostPath [%s] proxyPath[%s]", hostPath.c_str(), it->second.c_str());
    out = it->second;
    return 0;
}

int DBSnapContentMapper::MakeHostPathFromProxyPath(const std::string& proxyPath, std::string& out) {
    int rc = 0;
    if (proxyPath == "/") {
        out = proxyPath;
    } else {
        auto it = mRecordedToLocal.find(proxyPath);
        rc = it == mRecordedToLocal.end() ? kMissToLocal : 0;
        out = it == mRecordedToLocal.end() ? proxyPath : it->second;
    }
    KXLOG(2, "actualPath [%s] hostPath[%s]", proxyPath.c_str(), out.c_str());
    return rc;
}

int DBSnapContentMapper::MakeProxyPathFromHostPath(const char* hostPath, char* out, int size) {
    std::string result;
    int rc = hostPath ? MakeProxyPathFromHostPath(std::string(hostPath), result) : kMissToRecorded;
    return PathUtil::CopyToBuffer(result, out, size) == 0 ? rc : -1;
}

int DBSnapContentMapper::MakeHostPathFromProxyPath(const char* proxyPath, char* out, int size) {
    std::string result;
    int rc = proxyPath ? MakeHostPathFromProxyPath(std::string(proxyPath), result) : kMissToLocal;
    return PathUtil::CopyToBuffer(result, out, size) == 0 ? rc : -1;
}
