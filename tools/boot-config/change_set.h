// The changes one command makes to a machine, each with its undoing: a step
// runs, and once it has changed something its undo is kept, with the words
// that say what is left when that undo fails. Commit keeps every change;
// otherwise RollBack undoes them, the last first, every one of them even
// when an earlier undo fails, and says each failure it met. Nothing here
// knows Windows: the steps do.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace pelmar_tools {

class ChangeSet {
  public:
    // Changes something: true, or false and why.
    using Step = std::function<bool(std::string &why)>;

    ChangeSet() = default;
    ChangeSet(const ChangeSet &) = delete;
    ChangeSet &operator=(const ChangeSet &) = delete;
    // A set neither committed nor rolled back is rolled back.
    ~ChangeSet();

    // Runs `step`; when it succeeds, `undo` is kept. `left` says what stays
    // changed when `undo` fails ("BootExecute holds Pelmar's line"). False
    // and why when the step fails: it has changed nothing to undo then.
    bool Do(const Step &step, Step undo, std::string left, std::string &why);
    // Keeps `undo` for a change already made (a step that cannot fail, or
    // one whose partial change needs undoing all the same).
    void Undo(Step undo, std::string left);

    // Every change is kept; nothing is undone after this.
    void Commit();
    // Undoes every change not committed, the last first; one line for each
    // undo that failed ("LEFT (WHY)"), empty when all were undone.
    std::vector<std::string> RollBack();
    bool committed() const { return committed_; }

  private:
    struct Change {
        Step undo;
        std::string left;
    };
    std::vector<Change> changes_;
    bool committed_ = false;
};

}  // namespace pelmar_tools
