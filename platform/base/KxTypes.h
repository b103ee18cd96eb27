// Integer type names of the platform library's interfaces.
#pragma once

// Client ids and application types travel as ULONG in the platform's calls.
typedef unsigned long ULONG;
