#include "common/Platform.h"

#include "trust/TrustedPolicy.h"

#include "trust/PolicyRecords.h"
#include "trust/PolicySignature.h"
#include "trust/PolicyText.h"
#include "trust/SignedMessage.h"
#include "trust/TrustReport.h"

void CTrustedPolicy::Seal()
{
    const auto pointers = [](const std::vector<std::wstring>& list, std::vector<LPCWSTR>& out) {
        out.clear();
        for (const std::wstring& entry : list) out.push_back(entry.c_str());
        out.push_back(nullptr);
        return out.data();
    };
    m_signers = AcceptedSigners();
    if (hasNames) m_signers.publisherNames = pointers(names, m_namePointers);
    if (hasSerials) m_signers.blockedSerials = pointers(serials, m_serialPointers);
    if (hasThumbprints) {
        m_signers.rootThumbprints = thumbprints.data();
        m_signers.thumbprintCount = static_cast<DWORD>(thumbprints.size());
    }
}

std::shared_ptr<CTrustedPolicy> ParseVerifiedPolicy(const std::vector<BYTE>& bytes, const BYTE (&signer)[20],
                                                    std::wstring& reason, bool* unavailable, bool platform)
{
    bool checkFailed = false;
    PolicyScript script;
    PolicySections parsed;
    CSignedMessage message;
    if (!SplitPolicyScript(bytes, script, reason)) return nullptr;
    if (!message.Decode(script.signature.data(), static_cast<DWORD>(script.signature.size()))) {
        reason = L"it carries no readable signature (" + HexCode(::GetLastError()) + L")";
        return nullptr;
    }
    if (!VerifyPolicySignature(message, bytes, script.signedBytes, signer, reason) ||
        (platform && !WinVerifyPolicy(bytes, reason, checkFailed)) || !ParsePolicySections(script.text, parsed, reason)) {
        if (unavailable) *unavailable = checkFailed;
        return nullptr;
    }
    auto policy = std::make_shared<CTrustedPolicy>();
    policy->version = parsed.version;
    policy->sections = std::move(parsed.sections);
    if (const auto org = policy->sections.find(L"ORG"); org != policy->sections.end()) {
        policy->hasNames = true;
        policy->names = org->second;
    }
    if (const auto ser = policy->sections.find(L"SER"); ser != policy->sections.end()) {
        policy->hasSerials = true;
        policy->serials = ser->second;
    }
    if (const auto sha = policy->sections.find(L"SHA"); sha != policy->sections.end()) {
        policy->hasThumbprints = true;
        for (const std::wstring& line : sha->second) {
            // A line that is not a thumbprint keeps its place with size 0: it matches nothing.
            RootThumbprint thumbprint;
            if (ParseThumbprintText(line, thumbprint.bytes)) thumbprint.size = sizeof(thumbprint.bytes);
            policy->thumbprints.push_back(thumbprint);
        }
    }
    policy->Seal();
    return policy;
}


PolicySnapshot ParsePolicyBytes(const std::vector<BYTE>& bytes, const BYTE (&signer)[20], std::wstring& reason,
                                bool* unavailable)
{
    return ParseVerifiedPolicy(bytes, signer, reason, unavailable, true);
}

PolicySnapshot LoadPolicyCopy(const BYTE (&signer)[20], std::wstring& reason, ULONGLONG* written)
{
    std::vector<BYTE> bytes;
    if (!ReadPolicyCopy(bytes, written)) return nullptr;
    std::shared_ptr<CTrustedPolicy> policy = ParseVerifiedPolicy(bytes, signer, reason, nullptr, false);
    if (policy) policy->source = PolicyCopyName();
    return policy;
}
