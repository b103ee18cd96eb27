#include "ruxen/HBaseItems.h"

#include <sys/stat.h>

#include <vector>

#include "platform/agent/KxLog.h"
#include "platform/base/QMString.h"
#include "platform/text/PathUtil.h"

namespace HBaseItems {

namespace {

// The pieces of a path without its trailing slashes ("/" stays "/").
std::vector<std::string> Pieces(const std::string& path) {
    std::vector<std::string> parts;
    QMString::Split(PathUtil::StripTrailingSlashes(path), "/", parts);
    return parts;
}

bool UnderRoot(const HBaseItemState& s, const std::string& item) { return PathUtil::IsPrefixPath(s.backupRoot, item); }

// R of a snapshot item (see the header).
std::string SnapshotRelative(const HBaseItemState& s, const std::string& item) {
    std::string r = PathUtil::StripTrailingSlashes(item);
    if (s.snapshotKind == 1)
        return r;
    if (UnderRoot(s, r))
        r = PathUtil::Remainder(s.backupRoot, r);
    if (r.find(".hbase-snapshot") == std::string::npos)
        r = PathUtil::Join("archive", r);
    return r;
}

}  // namespace

void SetHBaseBkpRoot(HBaseItemState& s, const std::string& root) {
    s.backupRoot = root;
    std::string trimmed = root;
    QMString::RemoveRight(trimmed, "/");
    std::vector<std::string> parts;
    QMString::Split(trimmed, "/", parts);
    s.rootLevel = static_cast<int>(parts.size()) - 1;
    KXLOG(5, "HBase: BackupRoot[%s] BkpRootLvl[%d]", root.c_str(), s.rootLevel);
}

void GetHBaseItemAttrs(HBaseItemState& s, const std::string& item) {
    if (s.snapshotMode)
        return;
    s.nameSpace.clear();
    s.table.clear();
    std::vector<std::string> parts = Pieces(item);
    KXLOG(5, "HBase: BkpRootLvl[%d] Split size [%lu] for item[%s]", s.rootLevel,
          static_cast<unsigned long>(parts.size()), item.c_str());
    size_t at = static_cast<size_t>(s.rootLevel) + 1;
    if (parts.size() <= at || !UnderRoot(s, item))
        return;
    size_t tilde = parts[at].find('~');
    if (tilde == std::string::npos)
        return;
    s.nameSpace = parts[at].substr(0, tilde);
    s.table = parts[at].substr(tilde + 1);
    KXLOG(5, "HBase: Namespace[%s] Table[%s]", s.nameSpace.c_str(), s.table.c_str());
}

void GetHBaseItemType(const HBaseItemState& s, const std::string& item, mode_t mode, IdxMetadata::HBaseFileType& type,
                      bool& hidden) {
    type = IdxMetadata::HBASE_UNSET;
    hidden = true;
    if (S_ISREG(mode)) {
        type = IdxMetadata::HBASE_FILE;
        KXLOG(5, "HBase: Item[%s] is Regular file", item.c_str());
        return;
    }
    if (!S_ISDIR(mode))
        return;
    if (s.snapshotMode) {
        std::string it = PathUtil::StripTrailingSlashes(item);
        KXLOG(1, "Backuproot [%s] Item [%s] ", s.backupRoot.c_str(), it.c_str());
        hidden = false;
        if (it == "/")
            type = IdxMetadata::HBASE_NAMESPACE;
        else if (it == PathUtil::StripTrailingSlashes(s.backupRoot))
            type = IdxMetadata::HBASE_TABLE;
        else
            type = IdxMetadata::HBASE_DIRECTORY;
    } else {
        type = IdxMetadata::HBASE_DIRECTORY;
        long depth = static_cast<long>(Pieces(item).size()) - s.rootLevel;
        if (UnderRoot(s, item) && (depth == 4 || depth == 5)) {
            type = depth == 4 ? IdxMetadata::HBASE_NAMESPACE : IdxMetadata::HBASE_TABLE;
            hidden = false;
        }
    }
    if (type == IdxMetadata::HBASE_NAMESPACE)
        KXLOG(5, "HBase: Item[%s] is a Namespace", item.c_str());
    else if (type == IdxMetadata::HBASE_TABLE)
        KXLOG(5, "HBase: Item[%s] is a Table", item.c_str());
    else
        KXLOG(5, "HBase: Item[%s] is a Directory", item.c_str());
}

std::string PrepareHBaseItemPath(const HBaseItemState& s, const std::string& item, mode_t mode) {
    IdxMetadata::HBaseFileType type;
    bool hidden;
    GetHBaseItemType(s, item, mode, type, hidden);
    const std::string nsTable = "/" + s.nameSpace + "/" + s.table;
    std::string name;
    switch (type) {
    case IdxMetadata::HBASE_NAMESPACE:
        name = "/" + s.nameSpace;
        break;
    case IdxMetadata::HBASE_TABLE:
        name = nsTable;
        break;
    case IdxMetadata::HBASE_FILE:
    case IdxMetadata::HBASE_DIRECTORY:
        if (type == IdxMetadata::HBASE_DIRECTORY)
            KXLOG(0, "ITEM [%s]", item.c_str());
        if (s.snapshotMode) {
            std::string r = SnapshotRelative(s, item);
            if (type == IdxMetadata::HBASE_DIRECTORY)
                KXLOG(5, "ITEM [%s]", r.c_str());
            std::string label = s.snapshotKind == 1 ? "~INCREMENTAL~" : s.snapshotName;
            name = nsTable + "/";
            if (s.snapshotKind == 0)
                name += s.nameSpace + "~" + s.table + "/";
            name += label + "/" + r;
        } else if (!UnderRoot(s, item)) {
            name = item;  // not a table's item: nothing to file it under
        } else if (type == IdxMetadata::HBASE_DIRECTORY && static_cast<long>(Pieces(item).size()) < s.rootLevel + 4) {
            std::vector<std::string> parts = Pieces(item);
            name = nsTable + "/" + (parts.size() > 1 ? parts[1] : std::string());
        } else {
            name = nsTable + item;
        }
        break;
    default:
        KXLOG(-1, "HBase: Unhandled Item path[%s]", item.c_str());
        name = item;
        break;
    }
    KXLOG(1, "HBase: Prepared header path[%s] for item[%s]", name.c_str(), item.c_str());
    return name;
}

}  // namespace HBaseItems
