#pragma once
// The look at every book of a brand before anything is written: each check the brand makes,
// and what it would change, so that a batch refuses every book it would fail at once, a dry run
// refuses what the brand refuses, and a book that would come out as it is is not written.

#include "cli/u_BrandJob.h"
#include "ebook/u_EBookDocument.h"

#include <functional>
#include <string>
#include <vector>

// Whether a book with signature holds what signer would give it: a sound signature such as
// the signer makes; with no signer, whatever it holds.
bool SignedAsAsked(const TImageSignature& signature, const TCodeSigner* signer);

// Whether a brand of the open document with rows (values as stored), the icon (.ico bytes;
// empty: kept) and the signer would leave the book as it is: it is branded in place (no copy at
// target), its values are the rows as stored, its icon has the same images, and it holds the
// signature asked for (none asked: whatever it holds; a signer: a sound one of its certificate).
bool ChangesNothing(const TEBookDocument& document, const TVariableRows& rows,
                    const std::string& target, const std::string& icon, const TCodeSigner* signer);

// Opens the job's book (only read) and makes every check its brand would make: the book opens
// and its values, icon and references make a book; a book that would be written can be written
// (in place, or into the copy's folder) and, to be signed, signed. The preview tells what would
// change, or in its outcome's error why the book is refused.
TBrandPreview PlanBrand(const TBrandJob& job, const TEBookProgressEvent& onProgress);

// Plans every job that is not refused yet, in order, through progressOf(i), the progress of
// job i; a job whose plan fails is refused with its error. A job's copy that is there already
// is unchanged when it holds what was asked (looked at as if branded in place), unless an
// earlier job brands its book; for a check, a copy there is looked at whatever it holds.
void PlanBrands(std::vector<TBrandJob>& jobs, bool check,
                const std::function<TEBookProgressEvent(size_t)>& progressOf);

// What the job ends with as its plan found it: refused (its error), unchanged, or what it
// would change.
TBrandOutcome PlannedOutcome(const TBrandJob& job);

// The text of a failure to brand the job's book, with the way out where a copy would do.
std::string BrandErrorText(const std::exception& error, const TBrandJob& job);
