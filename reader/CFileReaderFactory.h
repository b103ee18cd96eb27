// Makes file readers bound to a job's reader context.
#pragma once

#include <memory>

#include "platform/base/CTyError.h"
#include "reader/CFileReader.h"

class CFileReaderContext;

class CFileReaderFactory {
public:
    // A new reader bound to `context`. Every type yields the standard reader
    // (GetType() answers 0).
    static std::shared_ptr<CFileReader> CreateFileReader(FILE_READER_TYPE type,
                                                         std::shared_ptr<CFileReaderContext>& context);

    // Keeps `reader` when it exists and is of the requested type; otherwise
    // replaces it with a new reader from the form above. Always succeeds.
    static CTyError CreateFileReader(FILE_READER_TYPE type, std::shared_ptr<CFileReaderContext>& context,
                                     std::shared_ptr<CFileReader>& reader);
};
