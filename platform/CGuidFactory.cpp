#include "platform/CGuidFactory.h"

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
    boost::uuids::name_generator_sha1 spaceGen(rootNamespace());
    boost::uuids::uuid spaceId = spaceGen(space.data(), space.size());
    boost::uuids::name_generator_sha1 gen(spaceId);
    return boost::uuids::to_string(gen(name.data(), name.size()));
}

std::string CGuidFactory::get_guid_nosalt(const std::string& path) {
    return NameGuid("path", path);
}
