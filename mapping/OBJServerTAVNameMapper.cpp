#include "mapping/OBJServerTAVNameMapper.h"

#include "mapping/FSTAVNameMapper.h"

namespace {

// The in-tree object-store name mapper: prefix mapping as for file systems.
class ObjServerNameMapperStandIn : public OBJServerTAVNameMapper {
public:
    std::string mapName(const char* name, bool* mapped) override { return m_prefixes.mapName(name, mapped); }
    bool mapName(const char* name, std::string& out, bool* mapped) override {
        return m_prefixes.mapName(name, out, mapped);
    }
    void add(const char* from, const char* to) override { m_prefixes.add(from, to); }
    void clear() override { m_prefixes.clear(); }

private:
    FSTAVNameMapper m_prefixes;
};

}  // namespace

std::unique_ptr<OBJServerTAVNameMapper> LoadObjServerNameMapper() {
    return std::unique_ptr<OBJServerTAVNameMapper>(new ObjServerNameMapperStandIn);
}
