// The signature check of a policy file's bytes, in two parts that must both
// agree:
// - the program's own: exactly one signer, whose certificate is the pinned
//   policy-signing certificate, whose signature verifies with that
//   certificate (CMSG_CTRL_VERIFY_SIGNATURE_EX), whose message digest is its
//   signed content's, and that content signs a script (not a program or any
//   other file kind) whose digest is the program's own digest of the text
//   before the signature block, taken the way the signing tool takes it;
// - WinVerifyTrust on the very same bytes, with the script package named as
//   the subject.
#pragma once

#include "common/Platform.h"

#include "trust/SignedMessage.h"

#include <string>
#include <vector>

// The subject interface package of signed script files.
extern const GUID kScriptSubject;

// The program's own check of the signature in `message` over the first
// `signedBytes` of `bytes`; false with `reason` (why the file is not used).
[[nodiscard]] bool VerifyPolicySignature(ISignedMessage& message, const std::vector<BYTE>& bytes, size_t signedBytes,
                           const BYTE (&signer)[20], std::wstring& reason);

// WinVerifyTrust on policy bytes as a script: in memory, where the platform
// reads that form; otherwise from a private copy in a fresh folder under the
// temporary folder whose name nobody can predict (128 random bits), which
// only the system, administrators and its maker may enter, and which is never
// reused once it exists; its file is judged through a handle that keeps
// writers out. `unavailable` tells a copy that could not be made (nothing is
// known of the bytes then) from a refusal.
[[nodiscard]] bool WinVerifyPolicy(const std::vector<BYTE>& bytes, std::wstring& reason, bool& unavailable);
