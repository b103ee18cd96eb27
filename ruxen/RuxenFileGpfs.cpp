// GPFS file sets and end-user access: two kinds of index metadata sent as
// records of type 159 beside an item's own metadata.
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "platform/agent/KxLog.h"
#include "platform/base/ScopedFd.h"
#include "platform/index/IdxMetadata.h"
#include "platform/index/IndexMetaDataKinds.h"
#include "platform/os/KxACLHelper.h"
#include "platform/text/PathUtil.h"
#include "reader/CFileReader.h"
#include "ruxen/RuxenFile.h"
#include "ruxen/RuxenFilePrivate.h"
#include "ruxen/RuxenMessages.h"

bool RuxenFilePrivate::ReadGpfsFileSets(const std::string& directory, App::GpfsFileSetMap& out, std::string& error) {
    out.clear();
    const std::string path = PathUtil::Join(directory, kFileSetListFile);
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 && errno == ENOENT)
        return true;  // a job without file sets
    App::GpfsFileSetConfigList list;
    if (!list.readFile(path, error))
        return false;
    for (const std::string& why : list.skipped)
        KXLOG(0, "%s: %s, skipped", path.c_str(), why.c_str());
    for (App::GpfsFileSetConfig& c : list.fileSets) {
        KXLOG(3, "FileSet path %s, FileSet name %s", c.fileSetPath.c_str(), c.fileSetName.c_str());
        std::string key = c.fileSetPath;
        out.emplace(std::move(key), std::move(c));
    }
    return true;
}

bool RuxenFilePrivate::LoadGpfsFileSetInfo(const std::string& directory) {
    std::string error;
    if (!ReadGpfsFileSets(directory, m_fileSets, error)) {
        KXLOG(0, "Failed to read FileSetTmp file: %s", error.c_str());
        m_fileSets.clear();
        return false;
    }
    return true;
}

const App::GpfsFileSetConfig* RuxenFilePrivate::FindFileSet(const std::string& path) const {
    if (m_fileSets.empty())
        return nullptr;
    auto it = PathUtil::LongestPrefixLookup(m_fileSets, path);
    return it == m_fileSets.end() ? nullptr : &it->second;
}

void RuxenFile::MarkFileSetItem() {
    const App::GpfsFileSetConfig* fs = m_private->FindFileSet(m_item.mappedName);
    if (fs)
        GetReader().SetFileSet(true, fs->fileSetName);
    else if (m_reader && m_reader->IsFileSet())
        m_reader->SetFileSet(false);
}

void RuxenFile::SendFileSetInfo() {
    const std::string& name = GetReader().GetFileSetName();
    KXLOG(3, "Sending FileSet information for %s, FileSet name %s", m_item.header.h_filename, name.c_str());
    IdxMetadata::IdxMetaData message;
    message.getFileSet()->setName(name);
    switch (SendMetadataRecord(&message, 0, nullptr)) {
    case kMetaSent:
        KXLOG(3, "Sent FileSet information");
        break;
    case kMetaEncodeFailed:
        KXLOG(1, "getEncodedLength for idxMetadata failed");
        break;
    case kMetaNothing:
        KXLOG(1, "BufferSize is not set. Not sending file tag info");
        break;
    case kMetaNoBuffer:
        break;  // logged by the allocation
    case kMetaFillFailed:
        KXLOG(-1, "unable to fill indexing buffer");
        break;
    case kMetaWriteFailed:
        KXLOG(1, "WriteBuffer failed");
        break;
    }
}

bool RuxenFile::SendEndUserAccessInfo(int& error) {
    error = EINVAL;
    std::unique_ptr<KxACL::Helper> acl = KxACL::Helper::getInstance();
    if (!KxACL::Helper::isAclSupported())
        return false;

    const std::string& path = m_item.mappedName;
    std::string text;
    // Through an O_PATH descriptor taken beneath the item's directory: no
    // link in its path followed against the rule, a path of any length.
    ScopedFd ref(GetReader().openItemRef(path.c_str()));
    if (!ref.valid() || acl->getAclText(path.c_str(), &text, ref.get()) != 0) {
        error = !ref.valid() ? errno : acl->getLastErrno() ? acl->getLastErrno() : EIO;
        KXLOG(-1, "Failed to get ACLs. File [%s]", path.c_str());
        return false;
    }
    KXLOG(4, "ACL for [%s] [%s]", path.c_str(), text.c_str());
    int rc = SendMetadataRecord(nullptr, IndexMetaDataKind::END_USER_ACCESS_ACL, text.c_str());
    switch (rc) {
    case kMetaSent:
    case kMetaNothing:
        error = 0;
        return true;
    case kMetaEncodeFailed:
        KXLOG(-1, "the ACL of [%s] does not fit a record", path.c_str());
        return false;
    case kMetaFillFailed:
        setFailureReason(-1, "unable to fill indexing buffer, rc=%d", rc);
        KXLOG(-1, "unable to fill indexing buffer, rc=%d", rc);
        return false;
    case kMetaWriteFailed:
        KXLOG(1, "WriteBuffer failed");
        return false;
    default:  // no buffer: logged by the allocation
        return false;
    }
}
