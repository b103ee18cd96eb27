#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <string>

#include "platform/agent/ApplicationRegistry.h"
#include "platform/agent/HookFiles.h"
#include "platform/agent/KXPlatformInfo.h"
#include "platform/agent/KxLog.h"
#include "platform/base/StopSignals.h"
#include "platform/base/TestControl.h"
#include "platform/index/IdxBrowseClient.h"
#include "platform/os/KxACLHelper.h"
#include "platform/os/KxLongPathHandler.h"
#include "platform/os/KxMntTab.h"
#include "platform/os/ReadCacheAdvise.h"

namespace {

namespace tc = ruxen::testcontrol;

// ResetAll puts back every state its owner registered: each is changed the
// way a test (or a job) changes it, then found fresh again.
TEST(TestControl, ResetAllPutsBackEveryRegisteredState) {
    const std::string defaultHooks = HookFiles::Directory();
    const std::string defaultMounts = kxMntTabPath();
    struct Case {
        const char* state;
        std::function<void()> change;
        std::function<bool()> fresh;
    } cases[] = {
        {"stop signal", [] { tc::SetStopRequested(SIGTERM); }, [] { return ruxen::StopRequested() == 0; }},
        {"hook directory", [] { tc::SetHookDirectory("/nonexistent/hooks"); },
         [&] { return HookFiles::Directory() == defaultHooks; }},
        {"registry", [] { KXPlatformInfo::setValue(kFileSystemAgentSection, "nTestControl", "1"); },
         [] {
             std::string v;
             return !KXPlatformInfo::getString(kFileSystemAgentSection, "nTestControl", v);
         }},
        {"application registry", [] { ApplicationRegistry::registerApplication(2, 7, AppRecord()); },
         [] { return ApplicationRegistry::find(2, 7) == nullptr; }},
        {"index browse", [] { tc::SetBrowseIndex(2, 7, {}); },
         [] { return IdxBrowseClient::indexOf(2, 7) == nullptr; }},
        {"mount table path", [] { tc::SetMountTablePath("/nonexistent/mounts"); },
         [&] { return kxMntTabPath() == defaultMounts; }},
        {"cachestat", [] { tc::UseCachestat(false); }, [] { return ReadCacheAdvise::CachestatInUse(); }},
        {"ACL options", [] { KxACL::Helper::SetOptions(3); }, [] { return KxACL::Helper::GetOptions() == 0; }},
        {"long paths", [] { tc::SetLongPathsUnavailable(true); },
         [] { return KxLongPathHandler::GetHandler() != nullptr; }},
        {"log capture",
         [] {
             tc::StartLogCapture();
             KXLOG(-1, "captured");
         },
         [] {
             KXLOG(-1, "not captured");  // to stderr once the capture is off
             return tc::TakeCapturedLog().empty();
         }},
    };
    for (const Case& c : cases)
        ASSERT_TRUE(c.fresh()) << c.state << " before";
    for (const Case& c : cases) {
        c.change();
        EXPECT_FALSE(c.fresh()) << c.state << " unchanged";
    }
    tc::ResetAll();
    for (const Case& c : cases)
        EXPECT_TRUE(c.fresh()) << c.state << " not reset";
}

}  // namespace
