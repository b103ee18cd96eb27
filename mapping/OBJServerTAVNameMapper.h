// The name mapper of object-store jobs. The real one comes from the
// object-store plug-in library; the accessors below are compiled into this
// library, so the members after the base's keep this order.
//
// LoadObjServerNameMapper stands in for loading the plug-in: it makes an
// in-tree mapper that maps names like FSTAVNameMapper and carries the current
// object's metadata as set by setCurrentObject.
#pragma once

#include <memory>
#include <string>

#include "mapping/TAVNameMapper.h"
#include "platform/base/Export.h"

class RUXEN_EXPORT OBJServerTAVNameMapper : public TAVNameMapper {
public:
    bool isContentIndexNeeded() const { return m_contentIndexNeeded; }
    int getMetaData(std::string& out) const {
        out = m_metaData;
        return 1;
    }
    int getIndexMetaData(std::string& out) const {
        out = m_indexMetaData;
        return 1;
    }
    int getDocumentGUID(std::string& out) const {
        out = m_documentGUID;
        return 1;
    }

    // The object whose item is being backed up.
    void setCurrentObject(bool contentIndexNeeded, const std::string& documentGUID, const std::string& metaData,
                          const std::string& indexMetaData) {
        m_contentIndexNeeded = contentIndexNeeded;
        m_documentGUID = documentGUID;
        m_metaData = metaData;
        m_indexMetaData = indexMetaData;
    }

protected:
    bool m_contentIndexNeeded = false;
    std::string m_documentGUID;
    std::string m_metaData;
    std::string m_indexMetaData;
};

// The object-store job's name mapper (never null).
RUXEN_EXPORT std::unique_ptr<OBJServerTAVNameMapper> LoadObjServerNameMapper();
