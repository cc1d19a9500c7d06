// A command's changes with their undoing (see change_set.h).
#include "tools/boot-config/change_set.h"

namespace pelmar_tools {

ChangeSet::~ChangeSet() { RollBack(); }

bool ChangeSet::Do(const Step &step, Step undo, std::string left, std::string &why) {
    if (!step(why)) return false;
    Undo(std::move(undo), std::move(left));
    return true;
}

void ChangeSet::Undo(Step undo, std::string left) {
    if (!committed_) changes_.push_back({std::move(undo), std::move(left)});
}

void ChangeSet::Commit() {
    committed_ = true;
    changes_.clear();
}

std::vector<std::string> ChangeSet::RollBack() {
    std::vector<std::string> failures;
    while (!changes_.empty()) {
        Change change = std::move(changes_.back());
        changes_.pop_back();
        std::string why;
        if (!change.undo(why)) failures.push_back(change.left + (why.empty() ? "" : " (" + why + ")"));
    }
    return failures;
}

}  // namespace pelmar_tools
