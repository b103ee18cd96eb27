// HBase items: the namespace and table an item belongs to, its type and
// browse visibility, and the name it is recorded under. Pure functions over
// the job's HBase state, which the per-file object holds.
//
// Paths are split on "/" keeping empty pieces, so an absolute path's first
// piece is the empty one before its leading "/": "/hbase" is ["", "hbase"]
// and gives root level 1; "/" as a root gives level 0. Item depths are
// counted the same way, so the arithmetic below is relative to the root.
// Trailing slashes are dropped before any counting.
//
// Normal mode (items are the table copies under the backup root):
//   the piece right below the root is "NAMESPACE~TABLE";
//   a directory of root level + 4 pieces is the namespace (type 6), of
//   + 5 pieces the table (7); other directories (9) and files (8) are
//   hidden in browse; namespaces and tables are not.
//   Names: 6 "/NS", 7 "/NS/TABLE", 8 "/NS/TABLE" + item, 9 "/NS/TABLE/"
//   + the item's first piece below "/" when it is shallower than a
//   namespace, else "/NS/TABLE" + item.
// Snapshot mode (items come from an HBase snapshot; the caller sets the
// namespace and table):
//   "/" is the namespace, the root the table, other directories type 9.
//   Names of files and directories: "/NS/TABLE/L/R" (snapshot kind not 0)
//   or "/NS/TABLE/NS~TABLE/L/R" (kind 0), L being "~INCREMENTAL~" for
//   kind 1 and the snapshot name otherwise. R is the item itself for kind
//   1; otherwise the item below the root, under "archive/" unless it holds
//   ".hbase-snapshot".
// In normal mode an item outside the backup root has no namespace or table,
// is never a namespace or table, and keeps its own name; so does, in either
// mode, an item that is neither a file nor a directory.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "platform/index/IdxMetadata.h"

struct HBaseItemState {
    std::string backupRoot;
    int rootLevel = 0;
    std::string nameSpace;
    std::string table;
    bool snapshotMode = false;
    uint8_t snapshotKind = 0;  // 1: an incremental snapshot
    std::string snapshotName;
};

namespace HBaseItems {

void SetHBaseBkpRoot(HBaseItemState& s, const std::string& root);
// Sets the namespace and table of an item (normal mode only).
void GetHBaseItemAttrs(HBaseItemState& s, const std::string& item);
// `mode` is the item's st_mode.
void GetHBaseItemType(const HBaseItemState& s, const std::string& item, mode_t mode, IdxMetadata::HBaseFileType& type,
                      bool& hidden);
std::string PrepareHBaseItemPath(const HBaseItemState& s, const std::string& item, mode_t mode);

}  // namespace HBaseItems
