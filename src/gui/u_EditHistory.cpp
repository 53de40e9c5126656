#include "gui/u_EditHistory.h"

void TEditHistory::Record(TStep step) {
  FDone.push_back(std::move(step));
  FUndone.clear();
}

void TEditHistory::Clear() {
  FDone.clear();
  FUndone.clear();
}

void TEditHistory::TakeBack(std::vector<TStep>& from, std::vector<TStep>& to,
                            const TRestore& restore) {
  if (from.empty())
    return;
  const unsigned group = from.back().Group;
  while (!from.empty() && from.back().Group == group) {
    const TStep step = std::move(from.back());
    from.pop_back();
    to.push_back(restore(step));
  }
}
