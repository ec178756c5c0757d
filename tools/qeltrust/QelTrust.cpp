// qeltrust: why does the job runner trust a file, or not? It judges files with
// the program's own signature check (VerifyFileTrust), in order and within one
// process as the program would within one run, and prints what each step saw.
#include "common/Platform.h"

#include "common/HeldFile.h"
#include "logging/Log.h"
#include "tools/ToolConsole.h"
#include "trust/FileTrust.h"
#include "trust/PolicyCache.h"
#include "trust/PolicyCheck.h"
#include "trust/PolicyFile.h"
#include "trust/PolicyRecords.h"
#include "trust/TrustAnchors.h"
#include "trust/TrustEnvironment.h"
#include "trust/TrustReport.h"
#include "trust/TrustedPolicy.h"

#include <wincrypt.h>

#include <string>
#include <vector>

namespace {

enum : int {
    kTrusted = 0,
    kUsage = 1,
    kNotTrusted = static_cast<int>(ERROR_ACCESS_DENIED),
    kEmptyPath = static_cast<int>(ERROR_INVALID_PARAMETER),
};

constexpr wchar_t kUsageText[] =
    L"qeltrust: how the job runner judges a file's signature\n"
    L"\n"
    L"usage: qeltrust verify [--install] FILE...\n"
    L"                                 judge the files in order, as one run of the program would (a policy\n"
    L"                                 file loaded for one file applies to the next); for each a line\n"
    L"                                 'trusted: FILE' or 'not trusted: FILE', then what each step saw.\n"
    L"                                 A refused cabinet's trusted.js is judged and reported, not installed;\n"
    L"                                 with --install it is installed as the program would install it\n"
    L"       qeltrust policy           the built-in policy and the installed policy file trusted.js\n"
    L"\n"
    L"Exit codes: 0 every file trusted, 5 a file not trusted, 87 an empty path, 1 usage.\n";

void Out(const std::wstring& text) { WriteText(STD_OUTPUT_HANDLE, text); }

std::wstring TimeText(const FILETIME& time)
{
    SYSTEMTIME t{};
    if (!::FileTimeToSystemTime(&time, &t)) return L"(unreadable)";
    wchar_t text[32];
    _snwprintf(text, std::size(text), L"%04u-%02u-%02u %02u:%02u:%02u UTC", t.wYear, t.wMonth, t.wDay, t.wHour,
               t.wMinute, t.wSecond);
    return text;
}

// The chain's trust errors in words.
std::wstring ChainText(DWORD status)
{
    if (status == 0) return L"valid";
    static const struct {
        DWORD bit;
        const wchar_t* text;
    } kErrors[] = {
        {CERT_TRUST_IS_NOT_TIME_VALID, L"a certificate is expired or not yet valid at that time"},
        {CERT_TRUST_IS_REVOKED, L"revoked"},
        {CERT_TRUST_IS_NOT_SIGNATURE_VALID, L"a signature in the chain is not valid"},
        {CERT_TRUST_IS_NOT_VALID_FOR_USAGE, L"not valid for code signing"},
        {CERT_TRUST_IS_UNTRUSTED_ROOT, L"its root is not trusted by this machine"},
        {CERT_TRUST_IS_PARTIAL_CHAIN, L"incomplete: no root found"},
        {CERT_TRUST_IS_CYCLIC, L"cyclic"},
        {CERT_TRUST_INVALID_BASIC_CONSTRAINTS, L"a CA certificate's basic constraints are broken"},
    };
    std::wstring text;
    for (const auto& e : kErrors) {
        if (status & e.bit) text += (text.empty() ? L"" : L"; ") + std::wstring(e.text);
    }
    return HexCode(status) + (text.empty() ? L"" : L" (" + text + L")");
}

// A name taken from a certificate, as it may be printed: control characters
// (an escape sequence for the terminal, a line break that forges a report
// line) are written as \xHH.
std::wstring Printable(const std::wstring& name)
{
    std::wstring text;
    for (wchar_t c : name) {
        if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0)) {
            wchar_t escaped[8];
            _snwprintf(escaped, std::size(escaped), L"\\x%02x", static_cast<unsigned>(c));
            text += escaped;
        } else {
            text += c;
        }
    }
    return text;
}

// Prints what the signature check reports while it judges one file.
class Printer final : public ITrustObserver {
public:
    void Begin() { m_lines.clear(); }
    void Note(const std::wstring& line) { add(line); }
    const std::wstring& Lines() const { return m_lines; }

    void ValidationLibrary(bool loaded, DWORD version, DWORD flags, const DWORD (&words)[2], bool vouched) override
    {
        if (!loaded) {
            add(L"  validation library tsguard.dll: not loaded (platform version " + std::to_wstring(version) + L")");
            return;
        }
        add(L"  validation library tsguard.dll (platform version " + std::to_wstring(version) + L"): asked with flags " +
            std::to_wstring(flags) + L", answered " + HexCode(words[0]) + L" " + HexCode(words[1]) + L": " +
            (vouched ? L"vouches for the file" : L"does not vouch for the file"));
    }
    void Policy(const std::wstring& source, DWORD version) override
    {
        add(L"  policy " + (source == L"built-in" ? source : L"file " + source) + L" (version " +
            std::to_wstring(version) + L"):");
    }
    void Unsigned(DWORD error) override { add(L"    no readable signature (" + HexCode(error) + L")"); }
    void SignatureArea(const wchar_t* problem) override { add(L"    signature not read: " + std::wstring(problem)); }
    void PolicyFileNote(const std::wstring& path, const std::wstring& note) override
    {
        add(L"  policy file " + path + L": " + note);
    }
    void Signer(const SignerVerdict& v) override
    {
        add(L"    signer " + std::to_wstring(v.index + 1) + L": serial " + v.serial +
            (v.serialNormalised.empty() ? L"" : L" (compared as " + v.serialNormalised + L")") +
            (v.blocked ? L" (blocked)" : L""));
        if (!v.name.empty()) add(L"      name: \"" + Printable(v.name) + L"\"");
        if (v.signatureChecked) {
            add(std::wstring(L"      signature: ") + (v.signatureVerified ? L"holds over the file's signed content"
                                                                          : L"does not hold over the file's signed content"));
        }
        const bool timed = v.timestamp.dwLowDateTime || v.timestamp.dwHighDateTime;
        if (v.stampFound && !v.stampVerified) {
            add(L"      time stamp: ignored, " + std::wstring(v.stampProblem ? v.stampProblem : L"not verified"));
        } else if (v.chainBuilt || timed) {
            add(L"      time stamp: " + (timed ? TimeText(v.timestamp) + L" (verified)" : std::wstring(L"none")));
        }
        if (v.chainBuilt) {
            add(L"      chain at " + (timed ? std::wstring(L"the time stamp") : std::wstring(L"the current time")) +
                L": " + ChainText(v.chainStatus));
            if (!v.rootThumbprint.empty()) {
                add(L"      root: " + v.rootThumbprint +
                    (!v.rootChecked                   ? L""
                     : v.anyRoot                      ? L" (the policy accepts any root)"
                     : v.pinnedRoot == v.rootThumbprint ? L" (pinned)"
                                                        : L" (not pinned)"));
            }
            if (!v.pinnedRoot.empty() && v.pinnedRoot != v.rootThumbprint) {
                add(L"      pinned root " + v.pinnedRoot + L" reached through a " +
                    (v.pinnedInLowerQualityChain ? L"lower-quality chain" : L"further simple chain"));
            }
            if (!v.pinPath.empty()) {
                std::wstring path;
                for (const std::wstring& name : v.pinPath) path += (path.empty() ? L"\"" : L" > \"") + Printable(name) + L"\"";
                add(L"      pinned path: " + path + L": " + ChainText(v.pinPathStatus));
            }
        }
        if (v.policyChecked) add(L"      Authenticode time-stamp chain policy: " + HexCode(v.policyError));
        if (v.winTrustChecked) add(L"      WinVerifyTrust: " + HexCode(static_cast<DWORD>(v.winTrustResult)));
        add(v.refusal ? L"      refused: " + std::wstring(v.refusal) : std::wstring(L"      accepted"));
    }

private:
    void add(const std::wstring& line) { m_lines += line + L"\n"; }
    std::wstring m_lines;
};

// `install`: a refused cabinet's newer trusted.js is installed and a good
// read of the installed one recorded, as the program does; otherwise the
// machine is left as it is.
int Verify(int count, wchar_t** files, bool install)
{
    if (count == 0) {
        WriteText(STD_ERROR_HANDLE, L"qeltrust: verify needs at least one file\n\n" + std::wstring(kUsageText));
        return kUsage;
    }
    Printer printer;
    CTrustEnvironment trust(&printer, install);
    int exitCode = kTrusted;
    for (int i = 0; i < count; ++i) {
        printer.Begin();
        // Judged as the program judges what it starts: held open, by its own
        // path, and that path must still name it afterwards.
        CHeldFile held;
        DWORD result = ERROR_INVALID_PARAMETER;
        if (*files[i] && !held.Hold(files[i])) {
            const DWORD error = ::GetLastError();
            result = ERROR_ACCESS_DENIED;
            if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
                printer.Note(L"  not judged: it cannot be held open against changes (" + std::to_wstring(error) + L")");
            } else {
                result = VerifyFileTrust(trust, files[i]);  // what the check says of a missing file
            }
        } else if (*files[i]) {
            result = VerifyFileTrust(trust, held.Path().c_str());
            if (result == ERROR_SUCCESS && !held.StillNamed()) result = ERROR_ACCESS_DENIED;
        }
        const std::wstring path = *files[i] ? files[i] : L"(empty path)";
        Out((result == ERROR_SUCCESS ? L"trusted: " : L"not trusted: ") + path + L"\n" + printer.Lines());
        if (result == ERROR_INVALID_PARAMETER) exitCode = kEmptyPath;
        else if (result != ERROR_SUCCESS && exitCode == kTrusted) exitCode = kNotTrusted;
    }
    return exitCode;
}

std::wstring Thumbprint(const BYTE* bytes, DWORD size)
{
    std::wstring text;
    for (DWORD i = 0; i < size; ++i) {
        wchar_t pair[3];
        _snwprintf(pair, std::size(pair), L"%02X", bytes[i]);
        text += pair;
    }
    return text;
}

// One list of a policy, telling a missing list from an empty one.
void PrintList(const wchar_t* title, const LPCWSTR* list, const wchar_t* missing, bool quoted)
{
    std::wstring line = std::wstring(L"  ") + title + L": ";
    if (!list) {
        Out(line + missing + L"\n");
        return;
    }
    if (!*list) {
        Out(line + L"none\n");
        return;
    }
    for (const LPCWSTR* entry = list; *entry; ++entry) {
        line += (entry == list ? L"" : L", ") + (quoted ? L"\"" + std::wstring(*entry) + L"\"" : std::wstring(*entry));
    }
    Out(line + L"\n");
}

void PrintRoots(const RootThumbprint* roots, DWORD count, const std::vector<std::wstring>* lines)
{
    if (!roots || count == 0) {
        Out(L"  roots: any root (no thumbprint listed)\n");
        return;
    }
    Out(L"  roots:\n");
    for (DWORD i = 0; i < count; ++i) {
        Out(roots[i].size == sizeof(roots[i].bytes)
                ? L"    " + Thumbprint(roots[i].bytes, roots[i].size) + L"\n"
                : L"    \"" + (lines ? (*lines)[i] : std::wstring()) + L"\" is not a thumbprint: ignored\n");
    }
}

int Policy()
{
    const BuiltInPolicy& builtIn = BuiltInTrustPolicy();
    if (trust_anchors::kBuiltForTestPki) Out(std::wstring(trust_anchors::kTestPkiNotice) + L"\n");
    Out(L"built-in policy: version " + std::to_wstring(builtIn.version) + L"\n");
    PrintList(L"publishers", builtIn.publisherNames, L"any name", true);
    PrintRoots(builtIn.rootThumbprints, builtIn.thumbprintCount, nullptr);
    PrintList(L"blocked serials", builtIn.blockedSerials, L"none", false);
    Out(L"  policy files signed by: " + Thumbprint(trust_anchors::kPolicySignerThumbprint, 20) + L"\n");

    const std::wstring path = CPolicyCache::Path();
    Out(L"policy file: " + path + L"\n");
    std::wstring reason;
    const PolicySnapshot policy = LoadTrustedPolicy(path, trust_anchors::kPolicySignerThumbprint, reason);
    if (!policy) {
        Out(L"  not used: " + reason + L"\n");
    } else {
        const AcceptedSigners& lists = policy->Signers();
        Out(L"  version " + std::to_wstring(policy->version) +
            (policy->version <= builtIn.version ? L" (not newer than the built-in policy: it does not count for the file that loads it)\n"
                                                : L"\n"));
        PrintList(L"publishers", lists.publisherNames, L"any name (no [ORG] section)", true);
        const auto sha = policy->sections.find(L"SHA");
        PrintRoots(lists.rootThumbprints, lists.thumbprintCount, sha == policy->sections.end() ? nullptr : &sha->second);
        PrintList(L"blocked serials (they apply to every file, whichever policy accepts it)", lists.blockedSerials,
                  L"none (no [SER] section)", false);
    }
    std::wstring copyReason;
    const PolicySnapshot copy = LoadPolicyCopy(trust_anchors::kPolicySignerThumbprint, copyReason);
    Out(L"verified copy (HKLM\\" + std::wstring(kPolicyRecordsKey) + L" " + kPolicyCopyValue + L"): " +
        (copy ? L"version " + std::to_wstring(copy->version) + L" (judged with when trusted.js cannot be read or used)"
              : copyReason.empty() ? std::wstring(L"none kept") : L"not used: " + copyReason) +
        L"\n");
    DWORD floor = 0, type = REG_NONE;
    const bool floorRead = ReadPolicyVersionFloor(floor, type);
    Out(L"highest version installed on this machine (HKLM\\" + std::wstring(kPolicyRecordsKey) + L" " +
        kPolicyFloorValue + L"): " +
        (!floorRead ? L"not a version number (type " + std::to_wstring(type) + L"): no cabinet's trusted.js is installed"
         : floor    ? std::to_wstring(floor) + L" (a cabinet's trusted.js must be newer)"
                    : std::wstring(L"none recorded")) +
        L"\n");
    Out(std::wstring(L"update signal (global atom ") + kPolicyUpdateAtom + L"): " +
        (PolicyUpdateSignalled() ? L"present" : L"absent") + L"\n");
    return kTrusted;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    SetLoggerStartupValues(L"QEL", nullptr, ::GetModuleHandleW(nullptr), 0, 0);
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"verify") {
        const bool install = argc > 2 && std::wstring(argv[2]) == L"--install";
        return Verify(argc - 2 - (install ? 1 : 0), argv + 2 + (install ? 1 : 0), install);
    }
    if (command == L"policy" && argc == 2) return Policy();
    if (command == L"--help" || command == L"-h" || command == L"/?") {
        Out(kUsageText);
        return kTrusted;
    }
    WriteText(STD_ERROR_HANDLE, (command.empty() ? std::wstring(L"qeltrust: no command given\n\n")
                                                 : L"qeltrust: unknown command '" + command + L"'\n\n") +
                                    kUsageText);
    return kUsage;
}
