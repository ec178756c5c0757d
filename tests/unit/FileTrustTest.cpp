// The signature check on the test PKI's sample files, with the built-in policy
// (this machine has no policy file), and the signer loop on signatures that
// Wine cannot decode or osslsigncode cannot make.
#include "common/Platform.h"

#include "common/UniqueHandle.h"
#include "tests/support/Machine.h"
#include "tests/support/Testbed.h"
#include "trust/FileTrust.h"
#include "trust/PolicyCache.h"
#include "trust/PolicyCheck.h"
#include "trust/PolicySignature.h"
#include "trust/PolicyText.h"
#include "trust/TrustEnvironment.h"
#include "trust/TrustReport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using testbed::TrustSample;

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
        // Time stamps: each attack beside its legitimate twin.
        {L"expired-ts.exe", 0, "an expired certificate with an RFC 3161 time stamp inside its validity"},
        {L"expired-forged-ts.exe", 5, "the same stamp made by a self-made time-stamping authority"},
        {L"expired-other-ts.exe", 5, "a genuine token that stamps another signer's digest"},
        {L"expired-retimed-ts.exe", 5, "a genuine token whose time was moved after stamping"},
        {L"expired-cs.exe", 0, "an expired certificate with a legacy counter-signature inside its validity"},
        {L"expired-garbage-cs.exe", 5, "a counter-signature of one byte with an empty issuer"},
        // Pins: a genuine cross certificate to a pinned root the machine does not trust, and a forged one.
        {L"forged-cross.exe", 5, "a forged cross certificate from the pinned root to the unpinned one"},
        {L"unsigned.exe", 5, "no signature"},
        {L"tampered.exe", 5, "a byte changed after signing"},
        {L"missing.exe", 5, "no file"},
        // A certificate table or signature area holds the signature and its alignment only.
        {L"table-text.exe", 5, "tarsen.exe with text after the signature in its certificate table"},
        {L"tarsen.cab", 0, "a cabinet of the accepted publisher"},
        {L"cab-trailing.cab", 5, "the same with bytes after the signature in its signature area"},
    };
    testbed::ClearTsGuardKnobs();
    CTrustEnvironment trust;
    for (const auto& c : kCases) EXPECT_EQ(VerifyFileTrust(trust, TrustSample(c.file).c_str()), c.expected) << c.what;

    // A blocked list judges the certificate the signer info finds, whatever
    // zeros its serial number is written with.
    const BuiltInPolicy& p = BuiltInTrustPolicy();
    const LPCWSTR kTarsenBlocked[] = {L"A0B0C0D", nullptr}, kOtherBlocked[] = {L"0A0B0C0E", nullptr},
                  kCrossCaBlocked[] = {L"3002", nullptr},  // the cross certificate on the pinned path
                  kStampingBlocked[] = {L"2009", nullptr};  // the time-stamping authority's certificate
    const struct {
        const wchar_t* file;
        const LPCWSTR* blocked;
        bool trusted;
    } kSerials[] = {{L"padded-serial.exe", kTarsenBlocked, false},
                    {L"tarsen.exe", kTarsenBlocked, false},
                    {L"padded-serial.exe", kOtherBlocked, true},
                    {L"cross.exe", kCrossCaBlocked, false},
                    // A blocked stamping certificate gives an expired signer no time.
                    {L"expired-cs.exe", kStampingBlocked, false},
                    {L"expired-ts.exe", kOtherBlocked, true},
                    {L"tarsen.exe", kStampingBlocked, true}};
    for (const auto& c : kSerials) {
        EXPECT_EQ(VerifySignedFile(TrustSample(c.file).c_str(), p.publisherNames, p.rootThumbprints, p.thumbprintCount,
                                   c.blocked),
                  c.trusted)
            << testing::PrintToString(std::wstring(c.file)) << " " << testing::PrintToString(std::wstring(c.blocked[0]));
    }
    EXPECT_EQ(VerifyFileTrust(trust, L""), 87u);
    EXPECT_EQ(VerifyFileTrust(trust, nullptr), 87u);

    // The trust-validation library beside the program vouches: then even an
    // unsigned file is trusted, without a signature check.
    testbed::SetTsGuardKnob(L"Word0", 0x2);
    testbed::SetTsGuardKnob(L"Word1", 0x1);
    EXPECT_EQ(VerifyFileTrust(trust, TrustSample(L"unsigned.exe").c_str()), 0u);
    testbed::ClearTsGuardKnobs();
}

// Signer infos taken from the first signer of real files' signatures, with
// their certificates in one store: what a signature with several signers
// would show the signer loop. Like a real signature, it has one content: the
// first file's.
class AssembledMessage final : public ISignedMessage {
public:
    void Add(const std::wstring& file)
    {
        ScopedCertStore store;
        ScopedCryptMsg message;
        ASSERT_TRUE(::CryptQueryObject(CERT_QUERY_OBJECT_FILE, TrustSample(file).c_str(),
                                       CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, CERT_QUERY_FORMAT_FLAG_BINARY, 0,
                                       nullptr, nullptr, nullptr, store.Put(), message.Put(), nullptr));
        ::CertAddStoreToCollection(m_store.Get(), store.Get(), 0, 0);
        m_stores.push_back(std::move(store));
        m_messages.push_back(std::move(message));
    }
    bool GetParam(DWORD type, DWORD index, std::vector<BYTE>& value) override
    {
        if (type == CMSG_SIGNER_COUNT_PARAM) {
            const DWORD count = static_cast<DWORD>(m_messages.size());
            value.assign(reinterpret_cast<const BYTE*>(&count), reinterpret_cast<const BYTE*>(&count + 1));
            return true;
        }
        if (type == CMSG_CONTENT_PARAM) index = 0;  // one signature, one content: the file's own
        DWORD size = 0;
        if (!::CryptMsgGetParam(m_messages[index].Get(), type, 0, nullptr, &size)) return false;
        value.resize(size);
        return ::CryptMsgGetParam(m_messages[index].Get(), type, 0, value.data(), &size);
    }
    HCERTSTORE Store() override { return m_store.Get(); }
    // Each signer's own signature, checked in the message it came from.
    bool VerifySignature(DWORD index, PCCERT_CONTEXT cert) override
    {
        CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA para{sizeof(para), 0, 0, CMSG_VERIFY_SIGNER_CERT, const_cast<CERT_CONTEXT*>(cert)};
        return ::CryptMsgControl(m_messages[index].Get(), 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &para);
    }

private:
    ScopedCertStore m_store{::CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr)};
    std::vector<ScopedCertStore> m_stores;
    std::vector<ScopedCryptMsg> m_messages;
};

// Records why each signer was refused ("" for the one that was accepted),
// and why a time stamp was ignored.
class Verdicts final : public ITrustObserver {
public:
    void Signer(const SignerVerdict& v) override
    {
        seen.push_back(v.refusal ? v.refusal : L"");
        if (v.stampProblem) stamps.push_back(v.stampProblem);
    }
    std::vector<std::wstring> seen, stamps;
};

// The built-in policy, with another blocked list if one is given.
AcceptedSigners BuiltIn(const LPCWSTR* blockedSerials = nullptr)
{
    const BuiltInPolicy& p = BuiltInTrustPolicy();
    return {p.publisherNames, p.rootThumbprints, p.thumbprintCount, blockedSerials ? blockedSerials : p.blockedSerials};
}

TEST(FileTrustTest, EachSignerInTurnUntilOnePasses)
{
    const wchar_t* const kTarsenSerial[] = {L"0A0B0C0D", nullptr}, *const kStampingBlocked[] = {L"2009", nullptr};
    const std::wstring publisher = L"its publisher is not accepted", blocked = L"its certificate's serial number is blocked";
    const struct {
        std::vector<std::wstring> signers;  // one sample file's signer each, in order
        const wchar_t* file;                // the file WinVerifyTrust judges
        const LPCWSTR* blockedSerials;
        bool trusted;
        std::vector<std::wstring> seen, stamps = {};  // why each signer was refused; why a stamp was ignored
    } kCases[] = {
        {{L"foreign.exe", L"tarsen.exe"}, L"tarsen.exe", nullptr, true, {publisher, L""}},
        {{L"tarsen.exe", L"foreign.exe"}, L"tarsen.exe", nullptr, true, {L""}},
        {{L"tarsen.exe", L"orvel.exe"}, L"orvel.exe", kTarsenSerial, true, {blocked, L""}},
        {{L"tarsen.exe", L"foreign.exe"}, L"tarsen.exe", kTarsenSerial, false, {blocked, publisher}},
        {{L"foreign.exe", L"unpinned.exe"}, L"unpinned.exe", nullptr, false,
         {publisher, L"its chain does not end in an accepted root"}},
        // Another program's signature with a genuine Tarsen signer entry copied
        // in: that signer signed another content.
        {{L"other-program.exe", L"tarsen.exe"}, L"other-program.exe", nullptr, false,
         {publisher, L"its signature does not hold over the file's signed content"}},
        // A stamp by a blocked stamping certificate gives an expired signer no time, and the report says why.
        {{L"expired-ts.exe"}, L"expired-ts.exe", kStampingBlocked, false, {L"its certificate chain is not valid"},
         {L"its certificate, or one on its chain, has a blocked serial number"}},
    };
    for (const auto& c : kCases) {
        AssembledMessage message;
        for (const std::wstring& signer : c.signers) message.Add(signer);
        Verdicts verdicts;
        EXPECT_EQ(VerifySigners(message, TrustSample(c.file).c_str(), BuiltIn(c.blockedSerials), &verdicts), c.trusted);
        EXPECT_EQ(verdicts.seen, c.seen);
        EXPECT_EQ(verdicts.stamps, c.stamps);
    }
}

// The policy file's signature, each half of its check on its own: the
// program's own check through the signed-message seam, and WinVerifyTrust on
// the same bytes. Wine's WinVerifyTrust refuses a signature made with another
// key by itself; the program's own check must refuse it without that help
// (what Windows' WinVerifyTrust does with provider flag 0x200 is not known here).
TEST(FileTrustTest, APolicyIsAScriptWhoseSignatureTheProgramChecksItself)
{
    CTrustEnvironment trust;
    const BYTE(&signer)[20] = trust.PolicyCache().Signer();
    const struct {
        const wchar_t* file;
        bool changed;           // its version line changed after signing
        const wchar_t* refusal;  // by the program's own check; null: accepted
        bool platform;           // WinVerifyTrust accepts the bytes
    } kCases[] = {
        {L"v6.js", false, nullptr, true},
        {L"other-key.js", false, L"its signature does not hold with the policy-signing certificate", false},
        {L"unpinned-signer.js", false, L"it is not signed by the policy-signing certificate", true},
        {L"v6.js", true, L"its signature does not cover its text", false},
    };
    for (const auto& c : kCases) {
        std::vector<BYTE> bytes = testmachine::ReadBytes(TrustSample(c.file));
        if (c.changed) bytes[2 + 2 * 7] ^= 0x01;  // after the byte-order mark, "[VER]\r\n6"
        PolicyScript script;
        std::wstring reason, platformReason;
        ASSERT_TRUE(SplitPolicyScript(bytes, script, reason)) << reason;
        CSignedMessage message;
        ASSERT_TRUE(message.Decode(script.signature.data(), static_cast<DWORD>(script.signature.size())));
        EXPECT_EQ(VerifyPolicySignature(message, bytes, script.signedBytes, signer, reason), !c.refusal);
        EXPECT_EQ(reason, c.refusal ? c.refusal : L"") << testing::PrintToString(std::wstring(c.file));
        bool unavailable = true;
        EXPECT_EQ(WinVerifyPolicy(bytes, platformReason, unavailable), c.platform) << platformReason;
        EXPECT_FALSE(unavailable);
    }

    // A program signed with the policy-signing certificate signs no script:
    // its signature over a policy's text is refused.
    const std::vector<BYTE> text = testmachine::ReadBytes(TrustSample(L"v6.js"));
    PolicyScript script;
    std::wstring reason;
    ASSERT_TRUE(SplitPolicyScript(text, script, reason));
    CSignedMessage program;
    ASSERT_TRUE(program.OpenFile(TrustSample(L"policy-program.exe").c_str()));
    EXPECT_FALSE(VerifyPolicySignature(program, text, script.signedBytes, signer, reason));
    EXPECT_EQ(reason, L"it is not signed as a script");
}

// A machine that cannot judge a time-stamp chain (no policy function for it) trusts no file.
TEST(FileTrustTest, NoTimeStampChainPolicyMeansNoTrust)
{
    const LPCSTR kind = CRYPT_OID_VERIFY_CERTIFICATE_CHAIN_POLICY_FUNC;
    ASSERT_TRUE(::CryptUnregisterOIDFunction(X509_ASN_ENCODING, kind, CERT_CHAIN_POLICY_AUTHENTICODE_TS));
    Verdicts verdicts;
    CTrustEnvironment trust(&verdicts);
    EXPECT_EQ(VerifyFileTrust(trust, TrustSample(L"tarsen.exe").c_str()), 5u);
    ASSERT_TRUE(::CryptRegisterOIDFunction(X509_ASN_ENCODING, kind, CERT_CHAIN_POLICY_AUTHENTICODE_TS,
                                           L"C:\\windows\\system32\\qeltrustshim.dll", "AuthenticodeTsChainPolicy"));
    EXPECT_EQ(verdicts.seen, std::vector<std::wstring>{L"the Authenticode time-stamp chain policy refuses its chain"});
}

}  // namespace
