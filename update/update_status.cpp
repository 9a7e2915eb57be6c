#include "update/update_status.h"

namespace {

const char* StateWord(UpdateState state) {
    switch (state) {
        case UpdateState::kApplied:
            return "applied";
        case UpdateState::kWaiting:
            return "waiting";
        case UpdateState::kDiscarded:
            return "discarded";
        default:
            return "unfinished";
    }
}

const char* ReasonText(UpdateReason reason) {
    switch (reason) {
        case UpdateReason::kNone:
            return "";
        case UpdateReason::kInUse:
            return "in use";
        case UpdateReason::kReadOnly:
            return "read-only";
        case UpdateReason::kLink:
            return "link";
        case UpdateReason::kKindChange:
            return "kind change blocked by the user's files";
        case UpdateReason::kUnnamable:
            return "a name the update journal cannot carry";
        case UpdateReason::kDamaged:
            return "damaged (size or SHA-256 differs from the staged list)";
        case UpdateReason::kMissing:
            return "damaged (missing from the staged tree)";
        case UpdateReason::kNotListed:
            return "damaged (not staged by the staged list)";
        case UpdateReason::kLockBusy:
            return "update lock held by another launcher or stager";
        default:
            return "failed";
    }
}

}  // namespace

bool IsPermanent(UpdateReason reason) {
    return reason == UpdateReason::kReadOnly || reason == UpdateReason::kLink ||
           reason == UpdateReason::kKindChange || reason == UpdateReason::kUnnamable;
}

std::string FormatStatusLine(const UpdateStatus& status) {
    std::string line = StateWord(status.state);
    if (status.state == UpdateState::kApplied && status.reason == UpdateReason::kNone)
        return line + " the staged version is installed";
    line += ' ';
    if (!status.path.empty()) {
        for (char ch : status.path)
            line += ch == '\r' || ch == '\n' ? '?' : ch;
        line += ": ";
    }
    line += ReasonText(status.reason);
    if (status.error != 0)
        line += " (error " + std::to_string(status.error) + ")";
    if (IsPermanent(status.reason))
        line += ", permanent";
    return line;
}
