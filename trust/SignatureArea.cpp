#include "trust/SignatureArea.h"

#include "trust/DerReader.h"

namespace {

// A signature with every certificate of a long chain is a few dozen KiB;
// an area larger than this is not a signature.
constexpr uint32_t kMaxArea = 16u * 1024 * 1024;
constexpr wchar_t kCannotRead[] = L"its signature area cannot be read";
constexpr wchar_t kTrailing[] = L"its signature area holds bytes after the signature";

uint32_t U16(const std::vector<uint8_t>& b, size_t at) { return b[at] | b[at + 1] << 8; }
uint32_t U32(const std::vector<uint8_t>& b, size_t at)
{
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// The area [offset, offset + size) of the file, judged.
const wchar_t* Judge(IByteSource& file, uint64_t offset, uint32_t size, bool certificateTable)
{
    std::vector<uint8_t> area;
    if (size > kMaxArea || !file.Read(offset, size, area)) return kCannotRead;
    return HoldsOnlySignature(area, certificateTable) ? nullptr : kTrailing;
}

// A program: the security directory of its optional header (PE32 or PE32+).
const wchar_t* ProgramProblem(IByteSource& file, const std::vector<uint8_t>& dos)
{
    const uint32_t pe = U32(dos, 0x3C);
    std::vector<uint8_t> headers;
    if (!file.Read(pe, 24 + 112 + 5 * 8, headers) && !file.Read(pe, 24 + 96 + 5 * 8, headers)) return kCannotRead;
    if (U32(headers, 0) != 0x00004550) return kCannotRead;  // "PE\0\0"
    const uint32_t magic = U16(headers, 24);
    if (magic != 0x10B && magic != 0x20B) return kCannotRead;
    const size_t directories = 24 + (magic == 0x10B ? 96 : 112);
    if (headers.size() < directories + 5 * 8 || U32(headers, directories - 4) < 5) return nullptr;  // no security directory
    const uint32_t offset = U32(headers, directories + 4 * 8), size = U32(headers, directories + 4 * 8 + 4);
    return size == 0 ? nullptr : Judge(file, offset, size, true);
}

// A cabinet: a header reserve of 20 bytes marked 0x00100000 names where its
// signature lies, which must end the file.
const wchar_t* CabinetProblem(IByteSource& file, const std::vector<uint8_t>& header)
{
    constexpr uint32_t kReservePresent = 0x0004;
    if (!(U16(header, 30) & kReservePresent) || U16(header, 36) != 20 || U32(header, 40) != 0x00100000) return nullptr;
    const uint32_t offset = U32(header, 44), size = U32(header, 48);
    if (size == 0) return nullptr;
    if (static_cast<uint64_t>(offset) + size != file.Size()) return kTrailing;
    return Judge(file, offset, size, false);
}

}  // namespace

bool HoldsOnlySignature(const std::vector<uint8_t>& area, bool certificateTable)
{
    size_t start = 0;
    if (certificateTable) {
        // WIN_CERTIFICATE: dwLength, wRevision 0x0200, wCertificateType 0x0002 (PKCS #7 signed data).
        if (area.size() < 8 || U32(area, 0) < 8 || U32(area, 0) > area.size() || U16(area, 4) != 0x0200 ||
            U16(area, 6) != 0x0002) {
            return false;
        }
        start = 8;
    }
    der::Span in{area.data() + start, area.size() - start}, value;
    uint8_t tag = 0;
    if (!der::ReadElement(in, tag, value) || tag != 0x30) return false;
    if (in.size > 7) return false;
    for (size_t i = 0; i < in.size; ++i) {
        if (in.data[i] != 0) return false;
    }
    return !certificateTable || U32(area, 0) >= area.size() - in.size;
}

const wchar_t* SignatureAreaProblem(IByteSource& file)
{
    std::vector<uint8_t> header;
    if (!file.Read(0, 64, header)) return nullptr;  // too short to be either
    if (header[0] == 'M' && header[1] == 'Z') return ProgramProblem(file, header);
    if (header[0] == 'M' && header[1] == 'S' && header[2] == 'C' && header[3] == 'F') return CabinetProblem(file, header);
    return nullptr;
}
