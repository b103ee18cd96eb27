// Registry keys and file names of the job error policy.
#pragma once

#include "platform/agent/KXPlatformInfo.h"

constexpr const char* kErrorPolicySection = kFileSystemAgentSection;
// Comma-separated error numbers that are never reported (ErrorController).
constexpr const char* kKeyDoNotReportFileError = "backupDoNotReportFileError";
// 1: log every error-decision rule once the rules are loaded (KxErrorControl).
constexpr const char* kKeyDumpErrorControl = "nDumpErrorControl";
// The rules as last received, in the directory the caller names.
constexpr const char* kErrorControlRulesFile = "ErrorControlRules.xml";
