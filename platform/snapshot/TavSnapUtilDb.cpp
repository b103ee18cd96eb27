#include "platform/snapshot/TavSnapUtilDb.h"

#include "platform/snapshot/DBPathTranslator.h"

TavSnapUtilDb::TavSnapUtilDb(int engineType, int mode, const ApplicationId& app, const std::string& hostName)
    : TavSnapUtilBase(engineType, mode, false, nullptr, nullptr, 2), m_app(app), m_hostName(hostName) {}

CTyError TavSnapUtilDb::translatePath(const std::string& srcPath, const SMVolSnapInfo& info, std::string& mountPath) {
    DBPathTranslator::LastTranslation() = "TavSnapUtilDb::translatePath";
    return DBPathTranslator::TranslateByVolumes(srcPath, info, mountPath);
}

CTyError TavSnapUtilDb::sybiqTranslatePath(const std::string& srcPath, const SMVolSnapInfo& info,
                                           std::string& mountPath) {
    DBPathTranslator::LastTranslation() = "TavSnapUtilDb::sybiqTranslatePath";
    return DBPathTranslator::TranslateByVolumes(srcPath, info, mountPath);
}
