#include "common/Platform.h"

#include "trust/CabinetReader.h"

#include "trust/PolicyText.h"

#include "common/ScopeExit.h"

#include <fcntl.h>
#include <fdi.h>

namespace {

using FdiCreateFn = decltype(&FDICreate);
using FdiCopyFn = decltype(&FDICopy);
using FdiDestroyFn = decltype(&FDIDestroy);

constexpr char kPolicyEntry[] = "trusted.js";

// What an FDI "file handle" stands for: the cabinet on disk, or the memory an
// entry is extracted into.
struct FdiStream {
    HANDLE file = INVALID_HANDLE_VALUE;
    std::vector<BYTE>* sink = nullptr;
};

FNALLOC(FdiAlloc) { return ::HeapAlloc(::GetProcessHeap(), 0, cb); }
FNFREE(FdiFree) { ::HeapFree(::GetProcessHeap(), 0, pv); }

FdiStream* Stream(INT_PTR hf) { return reinterpret_cast<FdiStream*>(hf); }

// The held cabinet of the extraction running on this thread. FDI names the
// file it opens; the name is not used: nothing but the held cabinet is read.
thread_local HANDLE t_cabinet = nullptr;

// FDI opens nothing but the cabinet, and only to read it.
FNOPEN(FdiOpen)
{
    (void)pszFile;
    (void)pmode;
    HANDLE file = nullptr;
    if ((oflag & (_O_WRONLY | _O_RDWR | _O_CREAT)) || !t_cabinet ||
        !::DuplicateHandle(::GetCurrentProcess(), t_cabinet, ::GetCurrentProcess(), &file, 0, FALSE,
                           DUPLICATE_SAME_ACCESS)) {
        return -1;
    }
    ::SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    auto* stream = new FdiStream;
    stream->file = file;
    return reinterpret_cast<INT_PTR>(stream);
}

FNREAD(FdiRead)
{
    DWORD done = 0;
    const FdiStream* stream = Stream(hf);
    if (stream->sink) return static_cast<UINT>(-1);
    return ::ReadFile(stream->file, pv, cb, &done, nullptr) ? done : static_cast<UINT>(-1);
}

// An entry grows in memory up to the policy file limit; past it the copy fails.
FNWRITE(FdiWrite)
{
    FdiStream* stream = Stream(hf);
    if (!stream->sink || stream->sink->size() + cb > kMaxPolicyBytes) return static_cast<UINT>(-1);
    const BYTE* bytes = static_cast<const BYTE*>(pv);
    stream->sink->insert(stream->sink->end(), bytes, bytes + cb);
    return cb;
}

FNCLOSE(FdiClose)
{
    FdiStream* stream = Stream(hf);
    const bool closed = !stream->sink ? ::CloseHandle(stream->file) != FALSE : true;
    delete stream;
    return closed ? 0 : -1;
}

FNSEEK(FdiSeek)
{
    const FdiStream* stream = Stream(hf);
    if (stream->sink) return -1;
    return static_cast<__LONG32>(::SetFilePointer(stream->file, dist, nullptr, seektype));
}

// Extracts the first "trusted.js" into memory; skips every other entry.
// A cabinet that belongs to a set (continued from or into another one) and an
// entry larger than a policy file can be are refused.
FNFDINOTIFY(FdiNotify)
{
    auto* extraction = static_cast<PolicyExtraction*>(pfdin->pv);
    switch (fdint) {
    case fdintCABINET_INFO:
        if (pfdin->iCabinet != 0 || (pfdin->psz1 && *pfdin->psz1)) {
            extraction->refusal = L"it is one of a set of cabinets";
            return -1;
        }
        return 0;
    case fdintPARTIAL_FILE:
    case fdintNEXT_CABINET:
        extraction->refusal = L"it continues another cabinet";
        return -1;
    case fdintCOPY_FILE: {
        if (!pfdin->psz1 || ::lstrcmpiA(pfdin->psz1, kPolicyEntry) != 0 || extraction->found) return 0;  // skipped
        if (pfdin->cb > static_cast<long>(kMaxPolicyBytes) || pfdin->cb < 0) {
            extraction->refusal = L"its trusted.js is larger than a policy file can be";
            return -1;
        }
        extraction->bytes.clear();
        auto* stream = new FdiStream;
        stream->sink = &extraction->bytes;
        return reinterpret_cast<INT_PTR>(stream);
    }
    case fdintCLOSE_FILE_INFO:
        FdiClose(pfdin->hf);
        extraction->found = true;
        return TRUE;
    default:
        return 0;
    }
}

}  // namespace

bool ExtractPolicy(HMODULE cabinet, HANDLE held, PolicyExtraction& extraction)
{
    const auto create = reinterpret_cast<FdiCreateFn>(reinterpret_cast<void*>(::GetProcAddress(cabinet, "FDICreate")));
    const auto copy = reinterpret_cast<FdiCopyFn>(reinterpret_cast<void*>(::GetProcAddress(cabinet, "FDICopy")));
    const auto destroy = reinterpret_cast<FdiDestroyFn>(reinterpret_cast<void*>(::GetProcAddress(cabinet, "FDIDestroy")));
    if (!create || !copy || !destroy) return false;

    ERF error{};
    const HFDI fdi = create(FdiAlloc, FdiFree, FdiOpen, FdiRead, FdiWrite, FdiClose, FdiSeek, cpuUNKNOWN, &error);
    if (!fdi) return false;
    const ScopeExit destroyed([&]() noexcept { destroy(fdi); });
    char name[] = "held.cab";
    char folder[] = "";
    t_cabinet = held;
    const BOOL copied = copy(fdi, name, folder, 0, FdiNotify, nullptr, &extraction);
    t_cabinet = nullptr;
    if (!copied && extraction.refusal.empty() && extraction.found) extraction.refusal = L"it cannot be read whole";
    return copied && extraction.refusal.empty() && extraction.found;
}
