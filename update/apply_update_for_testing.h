// For tests only: the apply transaction stopped part-way, as a kill would
// stop it.
#ifndef ORBEX_UPDATE_APPLY_UPDATE_FOR_TESTING_H_
#define ORBEX_UPDATE_APPLY_UPDATE_FOR_TESTING_H_

#include <string>

#include "update/apply_update.h"

// ApplyStagedUpdateLocked, stopped after `changes` steps (one more: after the
// commit mark) with kUnfinished and no status written; a run with fewer
// steps ends as ApplyStagedUpdateLocked does.
ApplyResult ApplyStagedUpdateStoppingAfter(const std::string& dataFolder, long changes);

#endif  // ORBEX_UPDATE_APPLY_UPDATE_FOR_TESTING_H_
