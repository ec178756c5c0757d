// The signature check on the test PKI's sample files, with the built-in policy
// (this machine has no policy file), and the signer loop on signatures that
// Wine cannot decode or osslsigncode cannot make.
#include "common/Platform.h"

#include "common/UniqueHandle.h"
#include "process/FileTrust.h"
#include "process/TrustReport.h"
#include "tests/support/Testbed.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using testbed::TrustSample;
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

TEST(FileTrustTest, SampleFilesUnderTheBuiltInPolicy)
{
    const struct {
        const wchar_t* file;
        DWORD expected;
        const char* what;
    } kCases[] = {
        {L"tarsen.exe", 0, "an accepted publisher on a pinned root"},
        {L"orvel.exe", 0, "the other publisher on its pinned root"},
        {L"unpinned.exe", 5, "the same signature on a root the machine trusts but the build does not pin"},
        {L"untrusted-root.exe", 5, "a pinned root the machine does not trust"},
        {L"cross.exe", 0, "a pinned root reached only through a lower-quality chain"},
        {L"foreign.exe", 5, "a publisher that is not accepted"},
        {L"nousage.exe", 5, "a certificate without the code-signing usage"},
        {L"expired.exe", 5, "an expired certificate without a time stamp"},
        {L"expired-ts.exe", 0, "an expired certificate with an RFC 3161 time stamp inside its validity"},
        {L"unsigned.exe", 5, "no signature"},
        {L"tampered.exe", 5, "a byte changed after signing"},
        {L"missing.exe", 5, "no file"},
    };
    testbed::ClearTsGuardKnobs();
    for (const auto& c : kCases) EXPECT_EQ(VerifyFileTrust(TrustSample(c.file).c_str()), c.expected) << c.what;
    EXPECT_EQ(VerifyFileTrust(L""), 87u);
    EXPECT_EQ(VerifyFileTrust(nullptr), 87u);

    // The trust-validation library beside the program vouches: then even an
    // unsigned file is trusted, without a signature check.
    testbed::SetTsGuardKnob(L"Word0", 0x2);
    testbed::SetTsGuardKnob(L"Word1", 0x1);
    EXPECT_EQ(VerifyFileTrust(TrustSample(L"unsigned.exe").c_str()), 0u);
    testbed::ClearTsGuardKnobs();
}

// Signer infos taken from the first signer of real files' signatures, with
// their certificates in one store: what a signature with several signers, or
// with a legacy counter-signature, would show the signer loop.
class AssembledMessage final : public ISignedMessage {
public:
    // `unauthenticated`: encoded PKCS_ATTRIBUTES to report for a signer instead of its own.
    void Add(const std::wstring& file, std::vector<BYTE> unauthenticated = {})
    {
        ScopedCertStore store;
        ScopedCryptMsg message;
        ASSERT_TRUE(::CryptQueryObject(CERT_QUERY_OBJECT_FILE, TrustSample(file).c_str(),
                                       CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, CERT_QUERY_FORMAT_FLAG_BINARY, 0,
                                       nullptr, nullptr, nullptr, store.Put(), message.Put(), nullptr));
        ::CertAddStoreToCollection(m_store.Get(), store.Get(), 0, 0);
        m_stores.push_back(std::move(store));
        m_messages.push_back(std::move(message));
        m_unauthenticated.push_back(std::move(unauthenticated));
    }
    bool GetParam(DWORD type, DWORD index, std::vector<BYTE>& value) override
    {
        if (type == CMSG_SIGNER_COUNT_PARAM) {
            const DWORD count = static_cast<DWORD>(m_messages.size());
            value.assign(reinterpret_cast<const BYTE*>(&count), reinterpret_cast<const BYTE*>(&count + 1));
            return true;
        }
        const std::vector<BYTE>& own = m_unauthenticated[index];
        DWORD size = 0;
        if (type == CMSG_SIGNER_UNAUTH_ATTR_PARAM && !own.empty()) {
            ::CryptDecodeObject(kEncoding, PKCS_ATTRIBUTES, own.data(), static_cast<DWORD>(own.size()), 0, nullptr, &size);
            value.resize(size);
            return ::CryptDecodeObject(kEncoding, PKCS_ATTRIBUTES, own.data(), static_cast<DWORD>(own.size()), 0,
                                       value.data(), &size);
        }
        if (!::CryptMsgGetParam(m_messages[index].Get(), type, 0, nullptr, &size)) return false;
        value.resize(size);
        return ::CryptMsgGetParam(m_messages[index].Get(), type, 0, value.data(), &size);
    }
    HCERTSTORE Store() override { return m_store.Get(); }

private:
    ScopedCertStore m_store{::CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr)};
    std::vector<ScopedCertStore> m_stores;
    std::vector<ScopedCryptMsg> m_messages;
    std::vector<std::vector<BYTE>> m_unauthenticated;
};

// Records why each signer was refused ("" for the one that was accepted).
class Verdicts final : public ITrustObserver {
public:
    Verdicts() { SetTrustObserver(this); }
    ~Verdicts() { SetTrustObserver(nullptr); }
    void Signer(const SignerVerdict& v) override { seen.push_back(v.refusal ? v.refusal : L""); }
    std::vector<std::wstring> seen;
};

// The built-in policy, with another blocked list if one is given.
AcceptedSigners BuiltIn(const LPCWSTR* blockedSerials = nullptr)
{
    const BuiltInPolicy& p = BuiltInTrustPolicy();
    return {p.publisherNames, p.rootThumbprints, p.thumbprintCount, blockedSerials ? blockedSerials : p.blockedSerials};
}

TEST(FileTrustTest, EachSignerInTurnUntilOnePasses)
{
    const wchar_t* const kTarsenSerial[] = {L"0A0B0C0D", nullptr};
    const std::wstring publisher = L"its publisher is not accepted", blocked = L"its certificate's serial number is blocked";
    const struct {
        std::vector<std::wstring> signers;  // one sample file's signer each, in order
        const wchar_t* file;                // the file WinVerifyTrust judges
        const LPCWSTR* blockedSerials;
        bool trusted;
        std::vector<std::wstring> seen;
    } kCases[] = {
        {{L"foreign.exe", L"tarsen.exe"}, L"tarsen.exe", nullptr, true, {publisher, L""}},
        {{L"tarsen.exe", L"foreign.exe"}, L"tarsen.exe", nullptr, true, {L""}},
        {{L"tarsen.exe", L"orvel.exe"}, L"orvel.exe", kTarsenSerial, true, {blocked, L""}},
        {{L"tarsen.exe", L"foreign.exe"}, L"tarsen.exe", kTarsenSerial, false, {blocked, publisher}},
        {{L"foreign.exe", L"unpinned.exe"}, L"unpinned.exe", nullptr, false,
         {publisher, L"its chain does not end in an accepted root"}},
    };
    for (const auto& c : kCases) {
        AssembledMessage message;
        for (const std::wstring& signer : c.signers) message.Add(signer);
        Verdicts verdicts;
        EXPECT_EQ(VerifySigners(message, TrustSample(c.file).c_str(), BuiltIn(c.blockedSerials)), c.trusted);
        EXPECT_EQ(verdicts.seen, c.seen);
    }
}

// A machine that cannot judge a time-stamp chain (no policy function for it) trusts no file.
TEST(FileTrustTest, NoTimeStampChainPolicyMeansNoTrust)
{
    const LPCSTR kind = CRYPT_OID_VERIFY_CERTIFICATE_CHAIN_POLICY_FUNC;
    ASSERT_TRUE(::CryptUnregisterOIDFunction(X509_ASN_ENCODING, kind, CERT_CHAIN_POLICY_AUTHENTICODE_TS));
    Verdicts verdicts;
    EXPECT_EQ(VerifyFileTrust(TrustSample(L"tarsen.exe").c_str()), 5u);
    ASSERT_TRUE(::CryptRegisterOIDFunction(X509_ASN_ENCODING, kind, CERT_CHAIN_POLICY_AUTHENTICODE_TS,
                                           L"C:\\windows\\system32\\qeltrustshim.dll", "AuthenticodeTsChainPolicy"));
    EXPECT_EQ(verdicts.seen, std::vector<std::wstring>{L"the Authenticode time-stamp chain policy refuses its chain"});
}

std::vector<BYTE> Encode(LPCSTR type, const void* value)
{
    DWORD size = 0;
    ::CryptEncodeObject(kEncoding, type, value, nullptr, &size);
    std::vector<BYTE> encoded(size);
    ::CryptEncodeObject(kEncoding, type, value, encoded.data(), &size);
    return encoded;
}

// Unauthenticated attributes: an unrelated one, then a legacy counter-signature
// whose signing-time attribute holds `time` (DER); `garbled` cuts it in half.
std::vector<BYTE> CounterSigned(const std::vector<BYTE>& time, bool garbled = false)
{
    CRYPT_ATTR_BLOB timeValue{static_cast<DWORD>(time.size()), const_cast<BYTE*>(time.data())};
    CRYPT_ATTRIBUTE signingTime{const_cast<LPSTR>(szOID_RSA_signingTime), 1, &timeValue};
    BYTE issuer[] = {0x30, 0x00}, serial[] = {0x01}, hash[] = {0xAB};
    CMSG_SIGNER_INFO signer{};
    signer.dwVersion = 1;
    signer.Issuer = {sizeof(issuer), issuer};
    signer.SerialNumber = {sizeof(serial), serial};
    signer.HashAlgorithm.pszObjId = const_cast<LPSTR>(szOID_OIWSEC_sha1);
    signer.HashEncryptionAlgorithm.pszObjId = const_cast<LPSTR>(szOID_RSA_RSA);
    signer.EncryptedHash = {sizeof(hash), hash};
    signer.AuthAttrs = {1, &signingTime};
    std::vector<BYTE> counter = Encode(PKCS7_SIGNER_INFO, &signer);
    if (garbled) counter.resize(counter.size() / 2);
    BYTE other[] = {0x05, 0x00};
    CRYPT_ATTR_BLOB otherValue{sizeof(other), other}, counterValue{static_cast<DWORD>(counter.size()), counter.data()};
    CRYPT_ATTRIBUTE attributes[] = {{const_cast<LPSTR>("1.3.6.1.4.1.311.2.4.1"), 1, &otherValue},
                                    {const_cast<LPSTR>(szOID_RSA_counterSign), 1, &counterValue}};
    CRYPT_ATTRIBUTES all{2, attributes};
    return Encode(PKCS_ATTRIBUTES, &all);
}

std::vector<BYTE> Der(const char* text) { return std::vector<BYTE>(text, text + std::strlen(text)); }

TEST(FileTrustTest, ExpiredSignerDependsOnItsCounterSignaturesTime)
{
    // The expired certificate is valid throughout 2020.
    const struct {
        std::vector<BYTE> unauthenticated;
        bool trusted;
        const char* what;
    } kCases[] = {
        {CounterSigned(Der("\x17\x0d" "200601120000Z")), true, "UTCTime in 2020: 20YY"},
        {CounterSigned(Der("\x17\x0d" "220101000000Z")), false, "a time after the expiry"},
        {CounterSigned(Der("\x18\x0f" "20200601120000Z")), false, "a GeneralizedTime is no time: now"},
        {CounterSigned(Der("\x17\x0d" "2006011200x0Z")), false, "an unreadable time fails the signer"},
        {CounterSigned(Der("\x17\x0d" "200601120000Z"), true), false, "an undecodable counter-signature"},
    };
    for (const auto& c : kCases) {
        AssembledMessage message;
        message.Add(L"expired.exe", c.unauthenticated);
        EXPECT_EQ(VerifySigners(message, TrustSample(L"expired.exe").c_str(), BuiltIn()), c.trusted) << c.what;
    }
}

}  // namespace
