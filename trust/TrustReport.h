// What the signature check saw on its way to a verdict, for the support tool
// (qeltrust) that explains a refusal. An observer is part of the environment
// a check judges with (TrustEnvironment.h); the program's own environment has
// none: the check then reports to nobody and costs nothing extra.
#pragma once

#include "common/Platform.h"

#include <cwchar>
#include <iterator>
#include <string>
#include <vector>

// A status or error code as the reports show it: "0x" and eight hex digits.
inline std::wstring HexCode(DWORD value)
{
    wchar_t text[16];
    _snwprintf(text, std::size(text), L"0x%08lx", static_cast<unsigned long>(value));
    return text;
}

// One signer of a file as one policy judged it. Fields after the step that
// refused it keep their defaults.
struct SignerVerdict {
    DWORD index = 0;
    std::wstring serial;         // serial number text (most significant byte first)
    std::wstring serialNormalised;  // the found certificate's serial, leading zero bytes removed, as blocked lists are compared
    bool blocked = false;        // its serial number (or one of its pin path's) is in the blocked list
    std::wstring name;           // the certificate's display name
    bool signatureChecked = false;
    bool signatureVerified = false;  // its own signature holds with that certificate, over the file's signed content
    bool stampFound = false;     // it carries a time stamp (the first one decides)
    bool stampVerified = false;  // ... and every check of it passed
    const wchar_t* stampProblem = nullptr;  // why a stamp that was found was ignored
    FILETIME timestamp{};        // the verified time stamp's time; zero: none
    bool chainBuilt = false;
    DWORD chainStatus = 0;       // the chain's trust error status (CERT_TRUST_*)
    std::wstring rootThumbprint; // the main chain's root (40 hex digits)
    bool rootChecked = false;    // the chain got as far as root pinning
    std::wstring pinnedRoot;     // the accepted root, when one was found
    bool anyRoot = false;        // the policy lists no root: any is accepted
    bool pinnedInLowerQualityChain = false;
    std::vector<std::wstring> pinPath;  // the chain path that provided the pin: its certificates' names, signer first
    DWORD pinPathStatus = 0;     // that path's trust error status
    bool policyChecked = false;
    DWORD policyError = 0;       // the AUTHENTICODE_TS chain policy's error
    bool winTrustChecked = false;
    LONG winTrustResult = 0;
    const wchar_t* refusal = nullptr;  // why it was refused; null: this signer made the file trusted
};

// An observer overrides what it wants to hear about.
class ITrustObserver {
public:
    // The trust-validation library's answer: asked only when the library is
    // loaded. `flags` is what it was asked with, `words` what it answered.
    virtual void ValidationLibrary(bool /*loaded*/, DWORD /*platformVersion*/, DWORD /*flags*/,
                                   const DWORD (&/*words*/)[2], bool /*vouched*/) {}
    // A policy is about to judge the file: "built-in" or the policy file's path.
    virtual void Policy(const std::wstring& /*source*/, DWORD /*version*/) {}
    // The file's signature could not be read, or has no signer.
    virtual void Unsigned(DWORD /*error*/) {}
    // The place where the file keeps its signature holds more than the signature.
    virtual void SignatureArea(const wchar_t* /*problem*/) {}
    virtual void Signer(const SignerVerdict& /*verdict*/) {}
    // A policy file or a cabinet's candidate was read, refused or installed.
    virtual void PolicyFileNote(const std::wstring& /*path*/, const std::wstring& /*note*/) {}

protected:
    ~ITrustObserver() = default;
};
