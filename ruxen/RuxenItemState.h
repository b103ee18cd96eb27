// The current item of a stream's per-file object: what its collect line
// said, where it is read from, its stat and working header, how far it got
// and how it failed. Everything here belongs to one item: the per-file
// object clears it in one place when it begins the next (Clear), so that no
// step can act on what the previous item left.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "ruxen/ZXFileHeader.h"

// How far an item got on the per-item road.
enum class RuxenItemPhase : uint8_t {
    kBegun,         // its collect line is being read and the item opened
    kOpened,        // it is open (or, without data, known)
    kHeaderFilled,  // its working header is filled
    kHeaderSent,    // its header record went out
    kEnded,         // its end-of-item step ran
};

// An item's type, from its mode.
enum RuxenItemType {
    fTypeOther,
    fTypeDirectory,
    fTypeRegular,
    fTypeSymlink,
    fTypeBlock,
    fTypeChar,
    fTypeFifo,
    fTypeSocket
};

struct RuxenItemState {
    ZXFileHeader header;  // the working record, host order; all 1160 bytes cleared
    struct stat st {};
    RuxenItemType type = fTypeOther;
    bool open = false;  // the reader holds the item

    // ---- its names
    std::string recordedPath;  // the path as recorded in the collect file
    std::string mappedName;    // the local path it is read from
    std::string actualPath;    // the path it is opened by
    bool nameMapped = false;   // mappedName came from the name mapper
    std::string shownName;     // "recorded -> mapped" when name-mapped, else empty
    std::string guidPath;      // the path its object GUIDs are made from
    std::string symlinkTarget;
    std::string alternateLocalPath;  // the host's local path for its real-path metadata
    std::string cacheDBLogicalPath;
    std::string fsType;   // of the mount that holds its local path ("" unknown)
    int deletedKind = 0;  // a deleted item of kind 1 to 7 (DEL=k), a database browse item (8); 0 neither

    // ---- what its collect line marks
    bool pseudoItem = false;
    bool mountPointAsMountPath = false;
    bool appleDouble = false;
    bool adHocItem = false;
    int mountPointIndex = 0;  // MNT=n, or the job's mount that the directory is
    bool subItemMarker = false;
    bool rawDeviceMarker = false;
    bool dashLine = false;
    int salesforceKind = 0;

    // ---- hard links
    bool hlCollectEntry = false;  // a line of a hard-link collect file
    bool hlHandling = true;       // the item is handled as a hard link, unless that is turned off for it
    bool headOfNewGroup = false;  // the line that sends its hard-link group's data and names
    bool phonyNamePath = false;   // its recorded path is a phony name
    bool phonyNameFlag = false;   // its end-of-item record names the group's data (phonyHLName)
    std::string phonyHLName;

    // ---- its failure
    int failureCode = 0;
    std::string failureReason;
    std::string errorText;
    bool failureReported = false;   // the failure passed the error filter and was counted
    bool resendFailedItem = false;  // recorded after its header: recorded again after its end

    // ---- how far it got
    RuxenItemPhase phase = RuxenItemPhase::kBegun;
    int endResult = 0;  // the answer of the end-of-item step of a failed-item record

    bool isDeletedItem() const { return deletedKind != 0; }
    bool headerSent() const { return phase >= RuxenItemPhase::kHeaderSent; }

    // Every field back to its default. The paths every item sets keep their
    // buffers, so that a stream of items does not allocate them afresh.
    void Clear();
};
