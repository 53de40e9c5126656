#include "cli/u_BrandPlan.h"

#include "cli/u_ErrorLine.h"
#include "cli/u_StopSignals.h"
#include "common/u_FailureCause.h"
#include "resources/u_IconSizes.h"
#include "resources/u_Resources.h"

#include <filesystem>
#include <set>

namespace {

// A value beginning with "$" hides its variable once written: the names (UTF-8) of those.
std::vector<std::string> NamesHiddenBy(const TBrandValues& values) {
  std::vector<std::string> names;
  for (const TVariableRow& row : values.Rows)
    if (HidesVariable(row.Value))
      names.push_back(values.CodePage.AnsiToUtf8(row.Name));
  return names;
}

} // namespace

bool SignedAsAsked(const TImageSignature& signature, const TCodeSigner* signer) {
  return !signer || (signature.Signed && signature.State != TSignatureState::Invalid &&
                     signer->MakesLike(signature));
}

bool ChangesNothing(const TEBookDocument& document, const TVariableRows& rows,
                    const std::string& target, const std::string& icon, const TCodeSigner* signer) {
  return target.empty() && SignedAsAsked(document.Signature(), signer) && rows == document.Rows() &&
         (icon.empty() || SameIconImages(icon, document.EBookIconGroup()));
}

void PlanBrands(std::vector<TBrandJob>& jobs, bool check,
                const std::function<TEBookProgressEvent(size_t)>& progressOf) {
  std::set<std::string> changed; // the books an earlier job brands in place
  for (size_t i = 0; i < jobs.size(); ++i) {
    TBrandJob& job = jobs[i];
    StopIfAsked();
    if (!job.Refusal.empty())
      continue;
    // A copy made before holds what was asked when branding it in place would change nothing;
    // one of a book branded before it in the run is made again, to have the brand's values.
    const std::string book = FileKey(job.Book);
    if (!job.Output.empty() && job.Output != "-" && std::filesystem::exists(job.Output) &&
        !changed.count(book)) {
      TBrandJob copy = job;
      copy.Book = job.Output;
      copy.Output.clear();
      job.Plan = PlanBrand(copy, progressOf(i));
      job.Plan.Outcome.Book = job.Book;
      job.Plan.Outcome.Output = job.Output;
    }
    if (!check && !job.Plan.Outcome.Unchanged)
      job.Plan = PlanBrand(job, progressOf(i));
    else if (check && job.Plan.Outcome.Book.empty())
      job.Plan = PlanBrand(job, progressOf(i)); // a copy not made yet differs
    if (job.Output.empty() && !job.Plan.Outcome.Unchanged)
      changed.insert(book);
    job.Refusal = job.Plan.Outcome.Error;
  }
}

TBrandOutcome PlannedOutcome(const TBrandJob& job) {
  TBrandOutcome outcome = job.Plan.Outcome;
  outcome.Book = job.Book;
  outcome.Output = job.Output.empty() ? job.Book : job.Output;
  outcome.Origin = job.Origin;
  outcome.CodePage = job.Values.CodePage.Number();
  outcome.Error = job.Refusal;
  return outcome;
}

std::string BrandErrorText(const std::exception& error, const TBrandJob& job) {
  std::string text = OneLine(BookErrorText(error, {job.Book, job.Output}, job.Values.CodePage));
  const auto* refused = dynamic_cast<const EOSError*>(&error);
  if (job.Output.empty() && refused && CopyWouldDo(refused->ErrorCode()))
    text += "; brand a copy with --output";
  return text;
}

TBrandPreview PlanBrand(const TBrandJob& job, const TEBookProgressEvent& onProgress) {
  TBrandPreview preview;
  TBrandOutcome& outcome = preview.Outcome;
  outcome.Book = job.Book;
  outcome.Output = job.Output.empty() ? job.Book : job.Output;
  const TCodePage& codePage = job.Values.CodePage;
  outcome.CodePage = codePage.Number();
  const auto utf8 = [&codePage](const std::string& text) { return codePage.AnsiToUtf8(text); };
  try {
    TEBookDocument document(codePage);
    document.OnProgress = onProgress;
    document.KeepCabinet = false; // nothing is written
    document.OpenEBook(job.Book);
    const TVariableRows& stored = document.Rows();
    const TVariableRows rows = BrandedRows(stored, job.Values);
    const TVariableRows resolvedBefore = document.Variables(false, false);
    const TResolution after = document.ResolveWith(rows); // a reference cycle fails here
    for (size_t i = 0; i < rows.size(); ++i) {
      if (rows[i].Value != stored[i].Value) {
        preview.Values.push_back({utf8(rows[i].Name), utf8(stored[i].Value), utf8(rows[i].Value)});
      } else if (!after.Rows[i].From.empty()) {
        TDerivedChange& derived = preview.Derived.emplace_back();
        derived.Name = utf8(rows[i].Name);
        derived.Old = utf8(resolvedBefore[i].Value);
        derived.New = utf8(after.Rows[i].Value);
        for (const std::string& name : after.Rows[i].From)
          derived.From.push_back(utf8(name));
      }
    }
    const std::string& icon = job.IconBytes();
    outcome.Unchanged = ChangesNothing(document, rows, job.Output, icon, job.Signer);
    outcome.ValuesSet = job.Values.Rows.size();
    outcome.IconChanged = !icon.empty() && !SameIconImages(icon, document.EBookIconGroup());
    preview.OldIcon = IconImageInfos(document.EBookIconGroup());
    preview.NewIcon = outcome.IconChanged ? IconImageInfos(icon) : preview.OldIcon;
    preview.OldTitle = utf8(document.Title());
    preview.NewTitle = utf8(after.Title);
    preview.OldSignature = document.Signature();
    preview.SignedAsAsked = SignedAsAsked(document.Signature(), job.Signer);
    if (job.Signer)
      preview.NewSigner = job.Signer->Subject();
    outcome.Signed = job.Signer != nullptr;
    outcome.SignatureRemoved = !outcome.Unchanged && document.Signature().Signed;
    if (outcome.Unchanged)
      return preview;
    outcome.Hidden = NamesHiddenBy(job.Values);
    // What the brand checks before it writes, checked here before any book is written.
    if (job.Output != "-")
      CheckResourceUpdatePossible(job.Book, job.Output);
    if (job.Signer)
      document.CheckSignable();
  } catch (const std::exception& e) {
    if (StopSignal() != 0)
      throw;
    outcome.Error = BrandErrorText(e, job);
  }
  return preview;
}
