// The signed policy file "trusted.js", which extends the built-in
// accepted-signer policy: what one policy file holds, judged from its bytes.
//
// The file's form (UTF-16LE text, then exactly one "// SIG //" signature
// block) and its sections are read by PolicyText.h; only the text before the
// block counts:
//   [VER]  exactly one line, the policy's version (decimal)
//   [ORG]  accepted publisher names, one a line
//   [SER]  blocked certificate serial numbers (hex), one a line
//   [SHA]  accepted root thumbprints (40 hex digits), one a line; a line that
//          is not one takes no part in the comparison
// A section that is absent leaves its list missing, which is not the same as
// an empty one (see AcceptedSigners).
//
// A policy file is always judged from bytes this process holds: they are read
// once (under a shared file lock that is waited for a bounded time), their
// signature is checked by the program itself and by WinVerifyTrust on exactly
// those bytes (PolicySignature.h), and the same bytes are parsed, kept as the
// machine's verified copy and, for a candidate, installed (PolicyFile.h,
// PolicyCache.h).
//
// Nothing another process does to the file moves a verdict toward trust: a
// process that cannot read or verify the installed file judges with the copy
// of the last one verified on this machine (PolicyRecords.h); without a copy
// it trusts no file while the file is there but cannot be read, or cannot be
// used while the machine has installed a version above the built-in one.
#pragma once

#include "common/Platform.h"

#include "trust/SignerCheck.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

// One policy file's content. Made once by LoadTrustedPolicy/ParsePolicyBytes
// and never changed after: the lists it hands out live as long as it does.
class CTrustedPolicy {
public:
    CTrustedPolicy() = default;
    CTrustedPolicy(const CTrustedPolicy&) = delete;
    CTrustedPolicy& operator=(const CTrustedPolicy&) = delete;

    DWORD version = 0;
    std::wstring source;  // where it was read: the installed file, or the machine's verified copy
    std::map<std::wstring, std::vector<std::wstring>> sections;
    bool hasNames = false;
    bool hasThumbprints = false;
    bool hasSerials = false;
    std::vector<std::wstring> names;
    std::vector<std::wstring> serials;
    std::vector<RootThumbprint> thumbprints;

    // The lists as the signer check takes them.
    const AcceptedSigners& Signers() const { return m_signers; }
    // Builds the lists; called once, when the content is complete.
    void Seal();

private:
    std::vector<LPCWSTR> m_namePointers;
    std::vector<LPCWSTR> m_serialPointers;
    AcceptedSigners m_signers;
};
using PolicySnapshot = std::shared_ptr<const CTrustedPolicy>;

// Judges policy-file bytes: the policy file's form, its signature (the
// program's own check and WinVerifyTrust, signed by the certificate with the
// SHA-1 thumbprint `signer`) and exactly one [VER] line. Null, with `reason`,
// when they cannot be used; `unavailable` (when given) tells that the
// signature could not be checked at all, which says nothing of the bytes.
PolicySnapshot ParsePolicyBytes(const std::vector<BYTE>& bytes, const BYTE (&signer)[20], std::wstring& reason,
                                bool* unavailable = nullptr);

// ParsePolicyBytes, with WinVerifyTrust's part of the signature check
// (`platform`) or without it, as the machine's kept copy is judged; the
// content is still open for its `source` to be set.
std::shared_ptr<CTrustedPolicy> ParseVerifiedPolicy(const std::vector<BYTE>& bytes, const BYTE (&signer)[20],
                                                    std::wstring& reason, bool* unavailable, bool platform);

// The machine's kept copy of the last verified policy file, judged as above
// but for WinVerifyTrust (the copy is only ever written after it, and needs
// no temporary folder: it is what judges when that folder cannot be used);
// null (with `reason` when one is kept) when there is none to use. `written`:
// as ReadPolicyCopy gives it.
PolicySnapshot LoadPolicyCopy(const BYTE (&signer)[20], std::wstring& reason, ULONGLONG* written = nullptr);
