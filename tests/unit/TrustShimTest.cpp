// The test machine's shims (testbed/TrustShim.cpp, registered in the template
// prefix) refuse what Windows refuses: the AUTHENTICODE_TS chain policy judges
// real chains of the test PKI, and the script package gives neither
// CryptQueryObject nor WinVerifyTrust a signature for a changed policy file.
#include "common/Platform.h"

#include "common/UniqueHandle.h"
#include "process/WinTrustFile.h"
#include "tests/support/Machine.h"
#include "tests/support/Testbed.h"

#include <gtest/gtest.h>
#include <wintrust.h>

#include <string>
#include <vector>

namespace {

using testbed::TrustSample;

// A PKI certificate (PEM) added to `store`; the added context.
PCCERT_CONTEXT AddCertificate(HCERTSTORE store, const std::wstring& name)
{
    const std::vector<BYTE> pem = testmachine::ReadBytes(TrustSample(name + L".crt"));
    DWORD size = 0;
    const auto* text = reinterpret_cast<const char*>(pem.data());
    ::CryptStringToBinaryA(text, static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr);
    std::vector<BYTE> der(size);
    ::CryptStringToBinaryA(text, static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr);
    PCCERT_CONTEXT added = nullptr;
    ::CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size, CERT_STORE_ADD_ALWAYS, &added);
    return added;
}

TEST(TrustShimTest, TimeStampChainPolicyJudgesTheChain)
{
    FILETIME in2020{};
    const SYSTEMTIME june2020{2020, 6, 1, 1, 12, 0, 0, 0};
    ::SystemTimeToFileTime(&june2020, &in2020);
    const struct {
        const wchar_t* leaf;
        bool in2020;    // the chain's time: 2020 or now
        DWORD flags;    // CERT_CHAIN_POLICY_PARA flags
        HRESULT error;  // what the policy reports
        LONG element;   // at which element of the chain
    } kCases[] = {
        {L"tarsen", false, 0, S_OK, -1},
        {L"tarsen-untrusted", false, 0, CERT_E_UNTRUSTEDROOT, 1},
        {L"tarsen-untrusted", false, CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG, S_OK, -1},
        {L"tarsen-nousage", false, 0, CERT_E_WRONG_USAGE, 0},
        {L"tarsen-nousage", false, CERT_CHAIN_POLICY_IGNORE_WRONG_USAGE_FLAG, S_OK, -1},
        {L"tarsen-expired", false, 0, CERT_E_EXPIRED, 0},
        {L"tarsen-expired", true, 0, S_OK, -1},
        {L"tarsen-expired", false, CERT_CHAIN_POLICY_IGNORE_NOT_TIME_VALID_FLAG, S_OK, -1},
    };
    LPSTR codeSigning[] = {const_cast<LPSTR>(szOID_PKIX_KP_CODE_SIGNING)};
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof(para);
    para.RequestedUsage = {USAGE_MATCH_TYPE_AND, {1, codeSigning}};
    for (const auto& c : kCases) {
        ScopedCertStore store(::CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
        AddCertificate(store.Get(), L"root-pinned-untrusted");
        ScopedCertContext leaf(AddCertificate(store.Get(), c.leaf));
        ScopedChainContext chain;
        ASSERT_TRUE(::CertGetCertificateChain(nullptr, leaf.Get(), c.in2020 ? &in2020 : nullptr, store.Get(), &para,
                                              0, nullptr, chain.Put()));
        CERT_CHAIN_POLICY_PARA policy{sizeof(policy), c.flags, nullptr};
        CERT_CHAIN_POLICY_STATUS status{sizeof(status), 0, 0, 0, nullptr};
        ASSERT_TRUE(::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE_TS, chain.Get(), &policy, &status))
            << "the shim is registered";
        EXPECT_EQ(status.dwError, static_cast<DWORD>(c.error)) << testing::PrintToString(std::wstring(c.leaf));
        EXPECT_EQ(status.lElementIndex, c.element) << testing::PrintToString(std::wstring(c.leaf));
    }
}

TEST(TrustShimTest, ScriptPackageGivesNoSignatureForAChangedScript)
{
    // The signed policy file with its version changed from 6 to 7 after signing.
    std::vector<BYTE> bytes = testmachine::ReadBytes(TrustSample(L"v6.js"));
    bytes[2 + 2 * 7] ^= 0x01;  // after the byte-order mark, "[VER]\r\n6"
    const std::wstring changed = testmachine::ProgramDataFolder() + L"\\changed.js";
    testmachine::WriteBytes(changed, bytes.data(), bytes.size());
    const struct {
        std::wstring file;
        bool signature;
    } kCases[] = {{TrustSample(L"v6.js"), true}, {changed, false}, {TrustSample(L"unsigned.js"), false}};
    for (const auto& c : kCases) {
        ScopedCertStore store;
        ScopedCryptMsg message;
        EXPECT_EQ(::CryptQueryObject(CERT_QUERY_OBJECT_FILE, c.file.c_str(), CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                                     CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, store.Put(),
                                     message.Put(), nullptr) != FALSE,
                  c.signature);
        EXPECT_EQ(CWinTrustFile().Verify(c.file.c_str(), 0x1214, WTD_STATEACTION_IGNORE) == 0, c.signature);
    }
}

}  // namespace
