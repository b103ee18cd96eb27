#include "platform/agent/CGuidFactory.h"

#include <boost/uuid/name_generator_sha1.hpp>
#include <boost/uuid/uuid.hpp>
#include <boost/uuid/uuid_io.hpp>

namespace {

// A fixed root namespace for every GUID this system makes.
const boost::uuids::uuid& rootNamespace() {
    static const boost::uuids::uuid ns = [] {
        boost::uuids::name_generator_sha1 gen(boost::uuids::ns::url());
        return gen("urn:ruxen:guid-root");
    }();
    return ns;
}

}  // namespace

std::string CGuidFactory::NameGuid(const std::string& space, const std::string& name) {
    return NameGuidIn(SpaceOf(space), name.data(), name.size());
}

boost::uuids::uuid CGuidFactory::SpaceOf(const std::string& space) {
    boost::uuids::name_generator_sha1 spaceGen(rootNamespace());
    return spaceGen(space.data(), space.size());
}

std::string CGuidFactory::NameGuidIn(const boost::uuids::uuid& space, const char* name, size_t length) {
    boost::uuids::name_generator_sha1 gen(space);
    return boost::uuids::to_string(gen(name, length));
}

std::string CGuidFactory::get_guid_nosalt(const std::string& path) { return NameGuid("path", path); }
