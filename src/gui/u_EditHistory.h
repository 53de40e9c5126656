#pragma once
// The edits since a book was opened, for Undo and Redo: each step holds what a value or the
// icon was before its edit; the steps of one command share a group and go back together.

#include <QString>

#include <functional>
#include <string>
#include <vector>

class TEditHistory {
public:
  struct TStep {
    int Row; // of the value, or -1 for the icon
    QString Value;
    std::string Icon; // the icon chosen before, empty for the book's own
    unsigned Group;
  };
  // Puts a step's value or icon back and returns the step that takes that back in turn.
  using TRestore = std::function<TStep(const TStep& step)>;

  // A group of its own, for the steps of one command.
  unsigned NewGroup() { return ++FGroup; }
  // A new edit: recorded for Undo, and what Redo held is gone.
  void Record(TStep step);
  void Clear();
  bool CanUndo() const { return !FDone.empty(); }
  bool CanRedo() const { return !FUndone.empty(); }
  // Takes back the last group of edits, or of those taken back.
  void Undo(const TRestore& restore) { TakeBack(FDone, FUndone, restore); }
  void Redo(const TRestore& restore) { TakeBack(FUndone, FDone, restore); }

private:
  static void TakeBack(std::vector<TStep>& from, std::vector<TStep>& to, const TRestore& restore);

  std::vector<TStep> FDone; // oldest first
  std::vector<TStep> FUndone;
  unsigned FGroup = 0;
};
