// Filling the working header record: the item's stat fields and flags, and
// the name it is recorded under, in step groups (RuxenFile.h lists them).
//
// The recorded name is built as a string through every rewrite (index cache,
// HBase, SILO, mapping, subclient-files suffix, long path, sync drive, hard
// link phony name, Documentum, PostgreSQL, file-based restore) and written
// into h_filename once, when it is final: a name that does not fit the field
// fails the item (ENAMETOOLONG); it is never cut, since a cut name would
// name another item.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <vector>

#include "hardlinks/HardLinkManager.h"
#include "mapping/ContentMapper.h"
#include "mapping/OBJServerTAVNameMapper.h"
#include "platform/agent/AppTypeTables.h"
#include "platform/agent/CGuidFactory.h"
#include "platform/agent/KXPIDirectories.h"
#include "platform/agent/KXPlatformInfo.h"
#include "platform/agent/KxLog.h"
#include "platform/agent/PermissibleAncestor.h"
#include "platform/text/PathUtil.h"
#include "reader/CFileReader.h"
#include "ruxen/RuxenBase.h"
#include "ruxen/RuxenFile.h"
#include "ruxen/RuxenFilePrivate.h"
#include "ruxen/RuxenMessages.h"
#include "ruxen/RuxenPerfStages.h"
#include "ruxen/SubclientFiles.h"

struct RuxenFile::HeaderFill {
    subclientFiles* files;
    FILE* failures;
    bool failedRecord;  // filling the header of a failed-item record
    bool callerFlag;
    std::string name;       // the recorded name being built
    bool mapping;           // content or consistency-point mapping in force
    std::string mappedOut;  // the mapper's translation of the name
};

namespace {

// The part of the path left after skipping `slashes` slashes from its start;
// false when it has fewer.
bool AfterSlashes(const std::string& path, size_t slashes, std::string& rest) {
    size_t pos = 0;
    for (size_t k = 0; k < slashes; ++k) {
        pos = path.find('/', pos);
        if (pos == std::string::npos)
            return false;
        ++pos;
    }
    rest = path.substr(pos);
    return true;
}

// Reads a link's target through the reader (long paths), growing the
// buffer for long targets.
int readLinkTarget(CFileReader& reader, const char* path, std::string& out) {
    static const size_t sizes[] = {4096, 8192, 32768, 262144};
    std::vector<char> buf;
    for (size_t size : sizes) {
        buf.resize(size + 1);
        ssize_t n = reader.readlink(path, buf.data(), size + 1);
        if (n < 0)
            return errno;
        if (static_cast<size_t>(n) <= size) {
            out.assign(buf.data(), static_cast<size_t>(n));
            return 0;
        }
    }
    return ENAMETOOLONG;
}

const char* TypeWord(mode_t mode) {
    switch (mode & S_IFMT) {
    case S_IFDIR:
        return "Directory";
    case S_IFREG:
        return "File";
    case S_IFLNK:
        return "Symlink";
    case S_IFBLK:
        return "Block Device";
    case S_IFCHR:
        return "Char Device";
    default:
        return "Unknown";
    }
}

}  // namespace

int RuxenFile::PopulateHeader(subclientFiles* files, FILE* failures) {
    const int r = PopulateHeaderEx(files, failures, false, false);
    if (r == kItemSkipped)
        m_overridePath.clear();  // the item ends here, without a record of its own
    return r;
}

int RuxenFile::PopulateHeaderEx(subclientFiles* files, FILE* failures, bool failedRecord, bool callerFlag) {
    PerfStageTimer stage(m_perf, RuxenPerfStage::kInsidePopulateHeader);
    const bool mapping = m_settings.proxyHost || m_settings.replicationHost;
    HeaderFill c{files, failures, failedRecord, callerFlag, std::string(), mapping, std::string()};
    int r;
    if ((r = FillRecordFields(c)) != kItemGoOn || (r = FillRecordedName(c)) != kItemGoOn)
        return r;
    FillObjectGUIDs(c);
    FillStatFields(c);
    if ((r = FillHardLinks(c)) != kItemGoOn)
        return r;
    FillApplicationNames(c);
    if ((r = SetHeaderName(c)) != kItemGoOn || (r = FillSize(c)) != kItemGoOn)
        return r;
    FillReaderFlags(c);
    if ((r = FillApplicationFlags(c)) != kItemGoOn)
        return r;
    if (!c.failedRecord) {
        // Every item but the data of a hard-link group (sent again under its
        // phony name) counts once.
        if (m_settings.indexV2 || !m_item.hlCollectEntry)
            ++m_counters.countableItems;
        m_counters.totalBytes += m_item.header.h_filesize;
        if (m_item.header.portable_flags & ZXFLAG_HL_GROUP_HEAD)
            m_stream.groupHeadPending = false;  // the group's head goes out
        m_item.phase = RuxenItemPhase::kHeaderFilled;
    }
    return kItemGoOn;
}

int RuxenFile::FailHeader(HeaderFill& c, int errnum, const std::string& detail) {
    if (c.failedRecord)
        KXLOG(-1, "%s: %s", printName(), detail.c_str());  // reported when it failed
    else
        ReportItemFailure(c.failures, m_item.recordedPath.c_str(), errnum, detail.c_str());
    return kItemSkipped;
}

// Steps: record identity, separator, flags, client platform, item type.
int RuxenFile::FillRecordFields(HeaderFill&) {
    ZXFileHeader& h = m_item.header;
    h.h_platform_flags = 0;
    if (m_settings.appType == 128 && h.h_collect_offset == 0) {
        KXLOG(1, "Not doing send header for first line in collect file for documentum backup");
        return kItemSkipped;
    }
    const bool backslash = m_settings.appType == 106;
    h.h_version = ZX_HEADER_VERSION;
    h.h_magic = ZX_HEADER_MAGIC;
    h.h_separator = backslash ? '\\' : '/';
    h.h_flags = (backslash ? 0 : ZX_HFLAG_SLASH_SEPARATOR) | ZX_HFLAG_ALWAYS;
    h.h_client_os = m_settings.clientOS;
    // A proxy client takes the type from the mode its caller stored; a
    // record with none stored keeps the stat mode's type.
    m_item.type = TypeOfMode(RuxenBase::proxyClient && (h.h_mode & S_IFMT) != 0 ? static_cast<mode_t>(h.h_mode)
                                                                                : m_item.st.st_mode);
    return kItemGoOn;
}

// Steps: index cache, HBase, SILO and mapping, subclient-files suffix, the
// GUID path, long path, cache database.
int RuxenFile::FillRecordedName(HeaderFill& c) {
    c.name = m_item.recordedPath;
    if (m_settings.indexCheckPoint || m_settings.indexLogBackup) {
        std::string dir;
        bool got = m_settings.indexLogBackup ? KXPI_Bayloft::getIndexLogsCacheDirectory(m_private->clientName, dir)
                                             : KXPI_Bayloft::getIndexCacheDirectory(m_private->clientName, dir);
        if (!got)
            return FailHeader(c, EINVAL,
                              m_settings.indexLogBackup ? "Failed to get index logs cache directory from registry"
                                                        : "Failed to get index cache directory from registry");
        if (!PathUtil::IsPrefixPath(dir, c.name))
            return FailHeader(c, EINVAL, "Unexpected error: Wrong index cache directory path specified");
        c.name = kIndexCacheNameToken + c.name.substr(PathUtil::TrimmedLength(dir));
    }
    if (m_settings.hbaseBackup) {
        IdxMetadata::HBaseFileType type;
        bool hidden = true;
        GetHBaseItemAttrs(c.name);
        GetHBaseItemType(c.name, type, hidden);
        if (hidden) {
            m_item.header.h_platform_flags |= ZX_HDR_FLAG_HIDDEN_IN_BROWSE;
            KXLOG(5, "HBase: Marking item[%s] as Hidden in browse", c.name.c_str());
        } else {
            KXLOG(5, "HBase: Not marking item[%s] as Hidden in browse", c.name.c_str());
        }
        c.name = PrepareHBaseItemPath(c.name);
    }
    int r = FillMappedName(c);
    if (r != kItemGoOn)
        return r;
    if (m_settings.backupSCFiles && m_item.type == fTypeRegular && m_item.salesforceKind == 0)
        c.name += "_" + std::to_string(m_settings.job.jobId);
    m_item.guidPath = c.name;
    if ((r = FillLongPathName(c)) != kItemGoOn)
        return r;
    if (m_settings.cacheDBBackup) {
        if (c.name == kCacheDBLogicalRoot) {
            KXLOG(5, "sourcePath [%s] is already logical", c.name.c_str());
            m_item.cacheDBLogicalPath = c.name;
        } else {
            CTyError e = m_private->cacheDB.MakeLogicalPathFromSourcePath(c.name, m_item.cacheDBLogicalPath);
            if (e.IsError())
                return FailHeader(
                    c, e.ErrNo() ? e.ErrNo() : EINVAL,
                    "Failed to convert Cache source [" + c.name + "] to logical path, error=" + e.Message());
        }
        KXLOG(5, "CACHEDB logical path for strRealPath index header [%s]", m_item.cacheDBLogicalPath.c_str());
    }
    return kItemGoOn;
}

// SILO jobs name items by their SILO parent path; mapped jobs by the
// mapper's translation of the local path back to the recorded one.
int RuxenFile::FillMappedName(HeaderFill& c) {
    if (!c.mapping) {
        if (m_settings.siloJob) {
            std::string silo = m_settings.siloParentPath;
            for (char& ch : silo)
                if (ch == '\\')
                    ch = '/';
            c.name = silo;
            m_item.mappedName = silo;
        }
        return kItemGoOn;
    }
    int rc = -1;
    if (m_contentMapper)
        rc = m_contentMapper->MakeProxyPathFromHostPath(m_item.mappedName, c.mappedOut);
    if (rc == 0 && !c.mappedOut.empty())
        c.name = c.mappedOut;
    KXLOG(5, "ZXFILEHEADER source %s local %s ret = %d\n", c.name.c_str(), m_item.mappedName.c_str(), rc);
    // Under consistency-point mapping an untranslated name would record the
    // item under the replica's path.
    if (rc != 0 && m_settings.replicationHost && !m_settings.flrNoFail)
        return FailHeader(c, EINVAL, "cannot translate [" + m_item.mappedName + "] to the recorded path");
    return kItemGoOn;
}

// An over-long name goes under its longest permissible ancestor and the GUID
// of the whole path.
int RuxenFile::FillLongPathName(HeaderFill& c) {
    if (!((IsLongPathAppType(m_settings.appType) || !m_overridePath.empty()) && m_settings.longPathSupport &&
          IsLongPath()))
        return kItemGoOn;
    std::string source = m_item.nameMapped ? m_item.recordedPath : m_item.mappedName;
    if (m_settings.autoMountRequired && !c.mapping)
        source = m_item.actualPath;
    else if (c.mapping && !c.mappedOut.empty())
        source = c.mappedOut;
    if (!m_overridePath.empty())
        source = m_overridePath;
    const std::string ancestor = FindPermissibleAncestor(source, kLongPathAncestorMax, '/');
    if (ancestor.empty())
        return FailHeader(c, EINVAL, "no permissible ancestor for the long path " + source);
    c.name = PathUtil::Join(ancestor, CGuidFactory::get_guid_nosalt(source));
    KXLOG(2, "ZXFileHeader path %s is longer than permissible path length. Will use %s instead.", source.c_str(),
          c.name.c_str());
    m_item.header.portable_flags |= ZXFLAG_LONG_PATH_NAME;
    m_item.guidPath = source;
    return kItemGoOn;
}

// Steps: object GUIDs, AppleDouble and ad-hoc flags, sync drive names,
// subclient-files flags.
void RuxenFile::FillObjectGUIDs(HeaderFill& c) {
    ZXFileHeader& h = m_item.header;
    SetAppDefVersionGUIDSeedSuffix();
    const bool stub = m_item.type == fTypeRegular && m_item.open && GetReader().isStub();
    if (m_settings.backupSCFiles) {
        m_private->GenerateJobResultObjectGUIDs(c.name, m_item.st, stub);
    } else {
        m_private->GenerateBackupObjectGUIDs(m_settings.cacheDBBackup ? m_item.cacheDBLogicalPath : m_item.guidPath,
                                             m_item.st, stub);
        if (m_item.appleDouble && m_item.open && (GetReader().isHFS() & CFileReader::kHFSHasCompanion))
            h.portable_flags |= ZXFLAG_APPLE_DOUBLE;
        if (m_item.adHocItem)
            h.h_platform_flags |= ZX_HDR_FLAG_HIDDEN_IN_BROWSE;
    }
    if (IsTallixSync() && m_item.mappedName != "/") {
        m_private->GetObjectGUID(c.name);
        KXLOG(2, "TALLIX_DRIVE: Overriding header path by [%s], Type=[%s]", c.name.c_str(),
              TypeWord(m_item.st.st_mode));
    }
    if (m_settings.backupSCFiles) {
        h.portable_flags |= ZXFLAG_NOT_COUNTABLE;
        h.h_platform_flags |= ZX_HDR_FLAG_SUBCLIENT_FILES;
    }
    if (c.failedRecord && !c.callerFlag)
        h.h_platform_flags |= ZX_HDR_FLAG_SUBCLIENT_FILES;
}

// Steps: the stat fields, pseudo items.
void RuxenFile::FillStatFields(HeaderFill& c) {
    ZXFileHeader& h = m_item.header;
    const struct stat& st = m_item.st;
    h.h_mtime = static_cast<uint64_t>(st.st_mtime);
    h.h_ctime = static_cast<uint64_t>(st.st_ctime);
    h.h_atime = static_cast<uint32_t>(st.st_atime);
    h.h_mode = st.st_mode;
    h.h_nlink = static_cast<uint32_t>(st.st_nlink);
    h.h_uid = st.st_uid;
    h.h_gid = st.st_gid;
    h.h_dev = static_cast<uint32_t>(st.st_dev);
    h.h_rdev = static_cast<uint32_t>(st.st_rdev);
    h.h_ino_low = static_cast<uint32_t>(static_cast<uint64_t>(st.st_ino));
    h.h_ino_high = static_cast<uint32_t>(static_cast<uint64_t>(st.st_ino) >> 32);

    if (m_item.pseudoItem) {
        bool set = true;
        if (IsUnixFsBackupSetType(m_settings.appType))
            set = !m_settings.blockLevel || m_settings.blockLevelMap.count(c.name) == 0;
        else
            set = m_settings.appType != 104;
        if (set) {
            h.h_platform_flags |= ZX_HDR_FLAG_PSEUDO_ITEM;
            KXLOG(5, "hdr = %s being set with pseudo item", c.name.c_str());
        }
    }
}

// Steps: the group of a hard-linked item (hard-links table), the phony name
// of a group's data.
int RuxenFile::FillHardLinks(HeaderFill& c) {
    ZXFileHeader& h = m_item.header;
    const bool directory = m_item.type == fTypeDirectory;
    if (m_item.st.st_nlink > 1 && IsLongPath())
        m_item.hlHandling = false;
    if (m_settings.hardLinkJob && m_item.hlHandling && c.files) {
        if (m_item.st.st_nlink < 2 || directory) {
            m_item.hlHandling = false;
        } else {
            HardLinksTablePtr table = HardLinkTable();
            if (!table) {
                KXLOG(-1, "++++++HLDEBUG Hard Links Table Does not exists or may be corrupt. Failing backup.");
                m_item.hlHandling = false;
                return kFailStream;
            }
            std::string head, guid;
            int64_t ctime = 0;
            const uint64_t dev = m_settings.getDeviceIdForLocal(static_cast<unsigned long>(m_item.st.st_dev));
            int found = table->searchFirst(dev, static_cast<uint64_t>(m_item.st.st_ino), head, ctime, guid);
            if (found == 1) {
                if (m_settings.turboMode) {
                    KXLOG(3, "######### SETTING fileReader GUID (1) for %s guid from ctree:%s", printName(),
                          guid.c_str());
                    GetReader().SetGUID(guid);
                }
                m_item.st.st_ctime = static_cast<time_t>(ctime);
                KXLOG(3, "++++++HLDEBUG BACKUP Setting Ctime for %s", printName());
                if (m_item.headOfNewGroup) {
                    m_private->GetVersionGUID(m_stream.groupVersionGuid);
                    h.portable_flags |= ZXFLAG_HL_GROUP_HEAD;
                    KXLOG(
                        3,
                        "++++++HLDEBUG BACKUP Version GUID '%s' set for new group with head %s portable_flags=[0x%lX]",
                        m_stream.groupVersionGuid.c_str(), printName(), static_cast<unsigned long>(h.portable_flags));
                }
            } else if (found == 0) {
                KXLOG(2,
                      "++++++HLDEBUG Hard Link Entry for [%s][%llu(%llu)][%llu] not found in hardlink table. Disabling "
                      "hard "
                      "link functionality For this file.Reverting back to old functionality.",
                      printName(), static_cast<unsigned long long>(dev),
                      static_cast<unsigned long long>(m_item.st.st_dev),
                      static_cast<unsigned long long>(m_item.st.st_ino));
                m_item.hlHandling = false;
            } else if (found < 0) {
                KXLOG(-1, "++++++HLDEBUG Hard Links Table Does not exists or may be corrupt. Failing backup.");
                m_item.hlHandling = false;
                return kFailStream;
            }
        }
    }
    if (m_item.hlCollectEntry && !m_settings.indexV2)
        h.portable_flags |= ZXFLAG_NOT_COUNTABLE;
    if (c.files && HardLinkGroupData()) {
        KXLOG(3, "++++++HLDEBUG BACKUP real name %s", c.name.c_str());
        if (m_settings.indexV2) {
            m_item.phonyHLName = m_stream.groupVersionGuid;
        } else {
            m_item.phonyHLName = HardLinkManager::GeneratePhonyFileNameUsingStat(m_item.st);
            c.name = m_item.phonyHLName;
            h.portable_flags &= ~ZXFLAG_NOT_COUNTABLE;
            h.portable_flags |= ZXFLAG_HARDLINK_PHONY_NAME;
        }
        KXLOG(3, "++++++HLDEBUG BACKUP putting phony name in zxfileheader %s, phonyHLName %s, isFileNotCountable [%d] ",
              c.name.c_str(), m_item.phonyHLName.c_str(), (h.portable_flags & ZXFLAG_HARDLINK_PHONY_NAME) ? 1 : 0);
    }
    return kItemGoOn;
}

// Steps: Documentum, PostgreSQL and file-based-restore names, hidden
// block-level items.
void RuxenFile::FillApplicationNames(HeaderFill& c) {
    if (m_settings.appType == 128) {
        KXLOG(2, "2 ++++++DOCUMENTUM BACKUP: m_CurrentSAName:[%s] filename:[%s]", m_stream.documentumSAName.c_str(),
              c.name.c_str());
        c.name = "/" + m_stream.documentumSAName + c.name;
        KXLOG(2, "++++++DOCUMENTUM BACKUP: combined filename in zxfileheader:[%s]", c.name.c_str());
    }
    if (m_settings.appType == 125 && !m_settings.blockLevel && !m_settings.indexV2) {
        KXLOG(2, "2 ++++++POSTGRES BACKUP: m_CurrentSAName:[%s] filename:[%s]", m_stream.documentumSAName.c_str(),
              c.name.c_str());
        c.name = "/data" + c.name;
        KXLOG(2, "++++++POSTGRES BACKUP: combined filename in zx-file-header:[%s][%s]", c.name.c_str(),
              m_stream.documentumSAName.c_str());
    }
    if (m_settings.appType == 104 && m_settings.blockLevel)
        m_item.header.h_platform_flags |= ZX_HDR_FLAG_HIDDEN_IN_BROWSE;
    if (!m_settings.fbr)
        return;
    std::string dir;
    if (KXPlatformInfo::getString(kSessionSection, kFBRDirKey, dir) && !dir.empty()) {
        KXLOG(2, "jobResultsDirectory override set to [%s]", dir.c_str());
    } else {
        KXPI_Zonclient::getJobResultsDirectory(dir);
        KXLOG(2, "jobResultsDirectory set to [%s]", dir.c_str());
    }
    dir = PathUtil::StripTrailingSlashes(dir);
    size_t slashes = 0;
    for (char ch : dir)
        slashes += ch == '/';
    std::string rest;
    if (slashes == 0) {
        KXLOG(-1, "Unable to parse jobResultsDirectory for FBR restore");
    } else if (c.name.empty() || c.name[0] != '/') {
        KXLOG(-1, "Cannot strip FBR mount path from [%s]", c.name.c_str());
    } else if (AfterSlashes(c.name, slashes + 3, rest)) {
        KXLOG(2, "Update FBR path to [%s]", c.name.c_str());
        c.name = "/" + rest;
        KXLOG(2, "Update FBR path to [%s]", c.name.c_str());
    }
}

// The one writer of h_filename: the final name, whole, or the item fails.
int RuxenFile::SetHeaderName(HeaderFill& c) {
    if (c.name.size() >= ZX_HEADER_NAME_SIZE || c.name.find('\0') != std::string::npos) {
        char why[128];
        snprintf(why, sizeof why, kReasonNameTooLong, c.name.size());
        return FailHeader(c, ENAMETOOLONG, why);
    }
    memset(m_item.header.h_filename, 0, sizeof m_item.header.h_filename);
    memcpy(m_item.header.h_filename, c.name.data(), c.name.size());
    m_item.header.h_namelen = static_cast<uint32_t>(c.name.size() + 1);
    return kItemGoOn;
}

void RuxenFile::FillDirectorySize(HeaderFill& c) {
    ZXFileHeader& h = m_item.header;
    bool compare = true;
    if (m_item.mountPointIndex != 0 && !m_item.subItemMarker) {
        compare = false;
        auto it = m_settings.mountPoints.find(m_item.mountPointIndex);
        if (it != m_settings.mountPoints.end()) {
            h.h_filesize = it->second.size;
            h.h_platform_flags |= ZX_HDR_FLAG_MOUNT_PATH;
            KXLOG(2, "Mount Point Index %d of Total %ld Path %s size=%lld\n", m_item.mountPointIndex,
                  static_cast<long>(m_settings.mountPoints.size()), c.name.c_str(),
                  static_cast<long long>(it->second.size));
        }
    } else if (m_item.mountPointAsMountPath) {
        compare = false;
        h.h_platform_flags |= ZX_HDR_FLAG_MOUNT_PATH;
    }
    if (compare) {
        std::string real;
        if (m_settings.blockLevel) {
            char* rp = realpath(m_item.mappedName.c_str(), nullptr);
            if (rp) {
                real = rp;
                free(rp);
            } else if (errno != ENOENT) {
                KXLOG(-1, "Could not convert path[%s] to realpath, error=%s", c.name.c_str(), strerror(errno));
            }
        }
        for (const auto& m : m_settings.mountPoints) {
            const std::string& mount = m.second.path;
            if (mount == c.name && mount != "/") {
                h.h_platform_flags |= ZX_HDR_FLAG_MOUNT_PATH;
                KXLOG(2, "'%s' is mount path", c.name.c_str());
                break;
            }
            if (m_settings.blockLevel && (mount == real || mount == m_item.mappedName)) {
                h.h_platform_flags |= ZX_HDR_FLAG_MOUNT_PATH;
                KXLOG(2, "BlockLevel: hostPath=%s proxyPath=%s is mount path", m_item.mappedName.c_str(),
                      c.name.c_str());
                break;
            }
        }
    }
    if (m_settings.blockLevel && c.name == "/" && m_settings.blockLevelMap.count("/")) {
        h.h_platform_flags |= ZX_HDR_FLAG_MOUNT_PATH;
        KXLOG(2, "-BlockLevel- Item '%s' is send as mount path", c.name.c_str());
    }
}

// The size by item type; a symbolic link's target for the end-of-item record.
int RuxenFile::FillSize(HeaderFill& c) {
    ZXFileHeader& h = m_item.header;
    h.h_filesize = 0;
    switch (m_item.type) {
    case fTypeDirectory:
        FillDirectorySize(c);
        break;
    case fTypeRegular:
        h.h_filesize = m_item.open ? static_cast<uint64_t>(GetReader().getTotalSize()) : 0;
        break;
    case fTypeSymlink: {
        int e = readLinkTarget(GetReader(), m_item.mappedName.c_str(), m_item.symlinkTarget);
        if (e != 0) {
            KXLOG(-1, "readlink(%s) failed, errno %d", printName(), e);
            if (e == ENAMETOOLONG)
                KXLOG(-1, "Error reading symlink [%s], target too long", printName());
            if (m_settings.backupSCFiles || c.failedRecord)
                return kItemSkipped;
            ReportItemFailure(c.failures, m_item.recordedPath.c_str(), e, strerror(e));
            return kItemSkipped;
        }
        if (m_item.rawDeviceMarker) {
            std::string target = kRawDevicePrefix + m_item.symlinkTarget;
            KXLOG(2, "Encountered a symbolic link to a Raw Device; LinkName=[%s]->[%s]\n", printName(), target.c_str());
            m_item.symlinkTarget.swap(target);
            m_item.rawDeviceMarker = false;
        }
        h.h_filesize = m_item.symlinkTarget.size();
        break;
    }
    default:
        break;
    }
    return kItemGoOn;
}

// Steps: resource fork and data size, the directory-change file, stubs, the
// sparse test, the dump flag.
void RuxenFile::FillReaderFlags(HeaderFill& c) {
    ZXFileHeader& h = m_item.header;
    const struct stat& st = m_item.st;
    CFileReader* reader = m_item.open ? &GetReader() : nullptr;
    h.h_isHFS = reader ? static_cast<uint8_t>(reader->isHFS()) : 0;
    h.h_datasize = reader && (h.h_isHFS || m_item.dashLine) ? static_cast<uint64_t>(reader->getDataSize()) : 0;
    if (c.files && c.files->dirChangeFile[0] && m_item.mappedName == c.files->dirChangeFile)
        h.h_platform_flags |= ZX_HDR_FLAG_DIR_CHANGE_FILE;

    h.portable_flags &= ~ZXFLAG_STUB;
    h.h_platform_flags &= ~ZX_HDR_FLAG_STUB;
    if (m_item.type == fTypeRegular && reader && reader->isStub()) {
        h.portable_flags |= ZXFLAG_STUB;
        h.h_platform_flags |= ZX_HDR_FLAG_STUB;
        if (m_settings.turboMode)
            h.portable_flags |= ZXFLAG_WENDAX_STUB_WITH_GUID;
        else
            KXLOG(5, "Not setting ZXFileHeader flag ZXFLAG_WENDAX_STUB_WITH_GUID");
        KXLOG(5, "ZXFileHeader flag 0x%lx", static_cast<unsigned long>(h.portable_flags));
    }

    if (static_cast<unsigned long long>(st.st_blocks) * 512ull >= static_cast<unsigned long long>(st.st_size))
        h.h_platform_flags |= ZX_HDR_FLAG_NOT_SPARSE;
    else
        h.h_platform_flags &= ~ZX_HDR_FLAG_NOT_SPARSE;
    h.h_platform_flags |= ZX_HDR_FLAG_SPARSE_TESTED;

    if (reader && reader->getDumpFlag())
        h.portable_flags |= ZXFLAG_DUMP;
    else
        h.portable_flags &= ~ZXFLAG_DUMP;
}

// Steps: application metadata flags, content indexing, hard-link bits.
int RuxenFile::FillApplicationFlags(HeaderFill& c) {
    ZXFileHeader& h = m_item.header;
    switch (m_settings.appType) {
    case 22:
    case 80:
        if (m_settings.dbArchive) {
            KXLOG(2,
                  "DbArchive Backup..Not Initialzing  %s with fileHeader.h_platform_flags with "
                  "ZX_HDR_FLAG_ORACLE_META_DATA %llx",
                  printName(), static_cast<unsigned long long>(h.h_platform_flags));
        } else {
            h.h_platform_flags |= ZX_HDR_FLAG_ORACLE_META_DATA;
        }
        break;
    case 61:
    case 135:
        h.h_platform_flags |= ZX_HDR_FLAG_SAP_META_DATA;
        break;
    case 62:
    case 103:
        h.h_platform_flags |= ZX_HDR_FLAG_DB2_META_DATA;
        break;
    case 126:
        return FailHeader(c, ENOTSUP, "appType=KX_APPTYPE_SYBASE_IQ is not supported.");
    case 124: {
        auto* objsrv = dynamic_cast<OBJServerTAVNameMapper*>(m_fNameMapper);
        if (objsrv && objsrv->isContentIndexNeeded()) {
            h.h_platform_flags |= ZX_HDR_FLAG_OBJSRV_META_DATA;
            KXLOG(3, "Initialzing fileHeader.h_platform_flags with ZX_HDR_FLAG_OBJSRV_META_DATA %llx",
                  static_cast<unsigned long long>(h.h_platform_flags));
        }
        break;
    }
    default:
        break;
    }
    h.h_platform_flags &= ~ZX_HDR_FLAG_HARDLINK_BOTH;
    if (m_settings.hardLinkJob && m_item.hlHandling && (NamesGroupData() || m_settings.indexV2) &&
        m_item.st.st_nlink > 1 && m_item.type != fTypeDirectory)
        h.h_platform_flags |= ZX_HDR_FLAG_HARDLINK_BOTH;
    return kItemGoOn;
}

// ---------------------------------------------------------------- HBase

void RuxenFile::SetHBaseBkpRoot(const std::string& root) { HBaseItems::SetHBaseBkpRoot(m_private->hbase, root); }

void RuxenFile::GetHBaseItemAttrs(const std::string& item) { HBaseItems::GetHBaseItemAttrs(m_private->hbase, item); }

void RuxenFile::GetHBaseItemType(const std::string& item, IdxMetadata::HBaseFileType& type, bool& hidden) {
    HBaseItems::GetHBaseItemType(m_private->hbase, item, m_item.st.st_mode, type, hidden);
}

std::string RuxenFile::PrepareHBaseItemPath(const std::string& item) {
    // A collect file from an incremental HBase snapshot labels its items so.
    if (m_stream.hbaseIncrementalSnapshot)
        m_private->hbase.snapshotKind = 1;
    return HBaseItems::PrepareHBaseItemPath(m_private->hbase, item, m_item.st.st_mode);
}
