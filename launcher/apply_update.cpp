#include "launcher/launcher_app.h"
#include "update/apply_update.h"

bool ApplyPendingUpdate(const std::string& dataFolder) {
    return ApplyStagedUpdate(dataFolder) != ApplyOutcome::kUnfinished;
}
