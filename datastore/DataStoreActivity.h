// Process-wide counts of data store work: facade cycles, and file loads and
// saves. Cheap enough to keep always; benchmarks and support tools read them
// to show that each facade call costs exactly one load (and one save when it
// changes something).
#pragma once

#include "common/Platform.h"

#include <atomic>

struct DataStoreActivity {
    unsigned long cycles = 0;          // facade operations
    unsigned long changingCycles = 0;  // of which changed data (and so saved)
    unsigned long loads = 0;           // whole-file loads
    unsigned long saves = 0;           // whole-file saves
};

namespace datastore_activity {

inline std::atomic<unsigned long> g_cycles{0};
inline std::atomic<unsigned long> g_changingCycles{0};
inline std::atomic<unsigned long> g_loads{0};
inline std::atomic<unsigned long> g_saves{0};

inline DataStoreActivity Snapshot()
{
    DataStoreActivity a;
    a.cycles = g_cycles.load();
    a.changingCycles = g_changingCycles.load();
    a.loads = g_loads.load();
    a.saves = g_saves.load();
    return a;
}

}  // namespace datastore_activity
