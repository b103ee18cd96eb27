// The common utilities' names for the in-house critical section and its
// scoped lock: the same classes as KxCriticalSection (a recursive mutex) and
// KxCriticalSection::Lock, not a second lock.
#pragma once

#include "platform/agent/KxCriticalSection.h"

using QMCriticalSection = KxCriticalSection;
using auto_lock = KxCriticalSection::Lock;
