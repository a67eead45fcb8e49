// How many processors the calling thread may run on.
#pragma once

namespace kavra::os {

// The processors in the calling thread's affinity mask (at least 1). A
// waiter that may run on one processor only must not spin: the thread it
// waits for needs that processor to make progress. A system call; callers
// that ask often keep the answer for a while.
int UsableCpuCount();

} // namespace kavra::os
