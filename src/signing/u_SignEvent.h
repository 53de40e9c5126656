#pragma once
// The rewriter's signing step, named apart from the signer so that what only passes a signer
// on (the e-book workflow) does not depend on the cryptography library.

#include "resources/vexRes.h"

class TCodeSigner;

// The step that signs a new image with signer; none when signer is null.
TImageSignEvent ImageSignEvent(const TCodeSigner* signer);
