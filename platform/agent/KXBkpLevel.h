// The level of a backup job as the job manager names it: 1 a full backup,
// 2 an incremental one, 4 a differential one. The index keeps it with each
// job's entries.
#pragma once

typedef int KXBkpLevel;
