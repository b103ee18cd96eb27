// Block-level items of a volume, sent through the per-file object's buffer
// services: folder and file headers built from a name and two sizes, data
// extents in whole 4096-byte blocks, end-of-item records, and the folders of
// the alternative view under which a volume's extent view and volume view
// are browsed. Programs of the agent that back up volumes at block level
// make one and call these operations; nothing in the engine does.
//
// The alternative view, in the order it is sent (G is kViewFolder, VOL the
// volume path):
//
//   "/"                     directory
//   "/G"                    directory, hidden
//   "/G/VOLUMEVIEW"         directory, hidden
//   "/G/EXTENTVIEW"         directory, hidden
//   "/G/EXTENTVIEW" + VOL   the volume, a directory item with its sizes
//   "/G/VOLUMEVIEW" + VOL   the same
//
// Hidden headers carry h_platform_flags bit 39 and portable_flags 0x200.
// Every operation answers false after one log line and leaves the stream to
// its caller; no buffer stays held after a failure.
#pragma once

#include <map>
#include <string>

#include "platform/base/Export.h"
#include "ruxen/RuxenFile.h"

class IndexingConnection;

class RUXEN_EXPORT RuxenVolume : public RuxenFile {
public:
    static constexpr const char* kViewFolder = "{20d03aa2-7726-42d8-8381-fdda7a8a1c47}";
    static constexpr unsigned kBlockSize = 4096;
    // The longest name a header takes; a longer one is refused, never cut.
    static constexpr size_t kMaxNameLength = 1024;

    explicit RuxenVolume(KXArchive* archive) : RuxenFile(archive) {}
    explicit RuxenVolume(CPipelayer* pipelayer) : RuxenFile(pipelayer) {}
    ~RuxenVolume() override;

    // Fills `header` (all 1160 bytes): a directory (mode 0x4000, h_filesize
    // the file size, h_platform_flags bit 44) or a file (mode 0x8000,
    // h_filesize 0), h_datasize the data size, h_namelen the name's length.
    bool FormatFileHeader(const char* name, unsigned long long dataSize, unsigned long long fileSize, bool isDirectory,
                          ZXFileHeader* header);
    // One header (host order), to the index when a connection is given,
    // else as a record 128.
    bool SendFileHeader(ZXFileHeader* header, IndexingConnection* connection);
    // An empty end-of-item record: 130 for status 1, else 134.
    bool SendEOF(int status);
    // `length` bytes as data records (type 2), each of the whole 4096-byte
    // blocks a buffer grant holds (the last one shorter). A grant below one
    // block is a failure.
    bool SendExtent(unsigned char* data, int length);
    // The six items of the alternative view. With a connection the headers
    // go to the index and nothing to the pipeline.
    bool SendAlternativeView(std::string volumePath, unsigned long long dataSize, unsigned long long fileSize,
                             IndexingConnection* connection);
    // Nothing to map on this platform: 0.
    int PopulateDeviceMap(std::string device, std::map<std::string, std::string>& map);

private:
    // Writes the last allocated buffer, timed; false when it failed (the
    // buffer is given back).
    RUXEN_HIDDEN bool WriteTimed(unsigned type, unsigned length);
};
