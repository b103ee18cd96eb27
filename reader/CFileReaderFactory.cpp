#include "reader/CFileReaderFactory.h"

#include "reader/CFileReaderContext.h"

std::shared_ptr<CFileReader> CFileReaderFactory::CreateFileReader(FILE_READER_TYPE /*type*/,
                                                                  std::shared_ptr<CFileReaderContext>& context) {
    std::shared_ptr<CFileReader> reader = std::make_shared<CFileReader>(context);
    reader->setDebugPrefix("FILEREADER");
    return reader;
}

CTyError CFileReaderFactory::CreateFileReader(FILE_READER_TYPE type, std::shared_ptr<CFileReaderContext>& context,
                                              std::shared_ptr<CFileReader>& reader) {
    if (!reader || reader->GetType() != type)
        reader = CreateFileReader(type, context);
    return CTyError::Success();
}
